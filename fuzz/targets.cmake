# The fuzz entry points, shared by the libFuzzer build (fuzz/) and the replay of
# regression inputs in the normal builds (tests/fuzz_regressions/).
# bwv_fuzz_entry_points(<out-var>) sets <out-var> to the target names; for each name N,
# fuzz/fuzz_N.cpp holds LLVMFuzzerTestOneInput and bwv_fuzz_link(<target> N) adds what it
# needs.
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)

set(BWV_FUZZ_ENTRY_POINTS dic_file gmsg fcrypt rebrand cusconf feed xar)

function(bwv_fuzz_link target name)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  if(name STREQUAL "feed")
    # The update library exports only its C entry points, so the feed reader is linked in.
    target_link_libraries(${target} PRIVATE bwv_update_feed)
  elseif(name MATCHES "^xar")
    target_link_libraries(${target} PRIVATE bwv_xar bwv_package_facts bwv_base)
  elseif(name STREQUAL "rebrand")
    # Builds the rebrand source itself, so the library's copy must be one it can leave out.
    target_link_libraries(${target} PRIVATE bwvutil_members)
  else()
    target_link_libraries(${target} PRIVATE bwvutil_static)
  endif()
endfunction()
