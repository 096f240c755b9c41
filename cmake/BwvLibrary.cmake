# libbwvutil is assembled from object files contributed by each source folder
# (target_sources on bwvutil_obj), then linked once shared and once static.
add_library(bwvutil_obj OBJECT)
target_include_directories(bwvutil_obj
  PUBLIC  $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
  PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
set_target_properties(bwvutil_obj PROPERTIES
  C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_compile_definitions(bwvutil_obj PRIVATE BWV_BUILDING_LIBRARY)
target_link_libraries(bwvutil_obj PUBLIC PkgConfig::PLIST Threads::Threads)

function(bwv_finish_library)
  add_library(bwvutil SHARED $<TARGET_OBJECTS:bwvutil_obj>)
  add_library(bwvutil_static STATIC $<TARGET_OBJECTS:bwvutil_obj>)
  foreach(t bwvutil bwvutil_static)
    target_include_directories(${t} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${t} PRIVATE PkgConfig::PLIST Threads::Threads)
  endforeach()
  # Static users (tests, the application) also see the internal C++ headers.
  target_include_directories(bwvutil_static INTERFACE $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}>)
  target_link_libraries(bwvutil_static INTERFACE PkgConfig::PLIST Threads::Threads)
  set_target_properties(bwvutil PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
  set_target_properties(bwvutil_static PROPERTIES OUTPUT_NAME bwvutil)

  install(TARGETS bwvutil bwvutil_static EXPORT bwvutilTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/include/bwvutil.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/bwvutil DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT bwvutilTargets NAMESPACE bwvutil:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/bwvutil)
  include(CMakePackageConfigHelpers)
  configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/bwvutilConfig.cmake.in
    ${CMAKE_BINARY_DIR}/bwvutilConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/bwvutil)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/bwvutilConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/bwvutilConfig.cmake ${CMAKE_BINARY_DIR}/bwvutilConfigVersion.cmake
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/bwvutil)
  # The .pc file finds its prefix relative to itself, so `cmake --install --prefix P`
  # gives a usable SDK wherever P is.
  file(RELATIVE_PATH BWV_PC_PREFIX_FROM_PCDIR "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/bwvutil.pc.in ${CMAKE_BINARY_DIR}/bwvutil.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/bwvutil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
