# Download through libUpdate against curl + sha256sum (loads the library with dlopen from
# a private folder, so it only needs it built).
find_package(OpenSSL REQUIRED)
bwv_add_bench(bench_update bench_update.cpp)
target_link_libraries(bench_update PRIVATE OpenSSL::Crypto ${CMAKE_DL_LIBS})
target_include_directories(bench_update PRIVATE ${CMAKE_SOURCE_DIR}/updater)
target_compile_definitions(bench_update PRIVATE
  BWV_UPDATE_LIBRARY="$<TARGET_FILE:Update>"
  BWV_UPDATE_TEST_SERVER="${CMAKE_SOURCE_DIR}/tests/updater/upd_test_server.py")
add_dependencies(bench_update Update)
