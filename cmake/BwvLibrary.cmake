# Layers and libbwvutil.
#
# Every source folder is one layer. A layer's code sees only its own headers and those of
# the layers it may use, so an include across a forbidden arrow does not compile:
#
#   bwv_layer_headers(<layer> FOLDER <folder> [ONLY <header> ...]
#                     [API <header of lib/include/bwvutil> ...])
#     makes <layer>_headers, an INTERFACE target whose include root holds only <folder>'s
#     own headers (as "<folder>/x.hpp"; with ONLY, just those) and the layer's part of the
#     public API
#     (as <bwvutil/x.h>). The folder states what its layer uses with
#     target_link_libraries(<layer>_headers INTERFACE <other>_headers ...).
#
#   bwv_library_layer(<layer> SOURCES ...)
#     the layer's part of libbwvutil: an OBJECT library built against <layer>_headers.
#
# The include roots are folders of links under <build>/layers; the sources themselves are
# never on the include path, so "#include "data/dic.hpp"" from lib/crypto/ finds nothing.
#
# libbwvutil is then linked once shared and once static from the objects of all library
# layers (bwv_finish_library).
set(BWV_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)
# Public headers made at configure time (<bwvutil/version.h>).
set(BWV_GENERATED_API ${CMAKE_BINARY_DIR}/generated/api)
set_property(GLOBAL PROPERTY BWV_LIBRARY_LAYERS "")

function(bwv_layer_headers layer)
  cmake_parse_arguments(L "" "FOLDER" "API;ONLY" ${ARGN})
  set(root ${BWV_LAYER_ROOT}/${layer})
  # Made anew at every configure, so a header that moved leaves no stale link behind.
  file(REMOVE_RECURSE ${root})
  if(L_ONLY)
    list(TRANSFORM L_ONLY PREPEND ${CMAKE_SOURCE_DIR}/${L_FOLDER}/ OUTPUT_VARIABLE own)
  else()
    file(GLOB own CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${L_FOLDER}/*.h ${CMAKE_SOURCE_DIR}/${L_FOLDER}/*.hpp)
  endif()
  if(own)
    file(MAKE_DIRECTORY ${root}/${L_FOLDER})
  endif()
  foreach(h ${own})
    get_filename_component(n ${h} NAME)
    file(CREATE_LINK ${h} ${root}/${L_FOLDER}/${n} SYMBOLIC)
  endforeach()
  if(L_API)
    file(MAKE_DIRECTORY ${root}/bwvutil)
  endif()
  foreach(n ${L_API})
    if(NOT EXISTS ${CMAKE_SOURCE_DIR}/lib/include/bwvutil/${n})
      message(FATAL_ERROR "${layer}: no public header lib/include/bwvutil/${n}")
    endif()
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/lib/include/bwvutil/${n} ${root}/bwvutil/${n} SYMBOLIC)
  endforeach()
  add_library(${layer}_headers INTERFACE)
  target_include_directories(${layer}_headers INTERFACE $<BUILD_INTERFACE:${root}>)
endfunction()

function(bwv_library_layer layer)
  cmake_parse_arguments(L "" "" "SOURCES" ${ARGN})
  add_library(${layer} OBJECT ${L_SOURCES})
  target_link_libraries(${layer} PUBLIC ${layer}_headers)
  set_target_properties(${layer} PROPERTIES
    C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_compile_definitions(${layer} PRIVATE BWV_BUILDING_LIBRARY)
  set_property(GLOBAL APPEND PROPERTY BWV_LIBRARY_LAYERS ${layer})
endfunction()

function(bwv_finish_library)
  get_property(layers GLOBAL PROPERTY BWV_LIBRARY_LAYERS)
  set(objects)
  foreach(l ${layers})
    list(APPEND objects $<TARGET_OBJECTS:${l}>)
  endforeach()
  add_library(bwvutil SHARED ${objects})
  # The archive holds one object, the layers linked together: a program that takes any
  # part of the library takes all of it, so a function of its own under one of the
  # library's names fails the link ("multiple definition") instead of silently taking
  # the library's calls to that name, as it would from a member otherwise left out.
  set(whole ${CMAKE_BINARY_DIR}/bwvutil_whole.o)
  add_custom_command(OUTPUT ${whole}
    COMMAND ${CMAKE_LINKER} -r -o ${whole} ${objects}
    DEPENDS ${layers} ${objects} COMMAND_EXPAND_LISTS VERBATIM)
  add_library(bwvutil_static STATIC ${whole})
  set_target_properties(bwvutil_static PROPERTIES LINKER_LANGUAGE CXX)
  # One archive member per source, for a target that builds a source of its own in place
  # of the library's (a fuzz target that resets its process-wide state).
  add_library(bwvutil_members STATIC EXCLUDE_FROM_ALL ${objects})
  # Users of the library, shared or static, see its public API and nothing else; white-box
  # tests, fuzz targets and benchmarks add the source root themselves (bwv_add_gtest ...).
  foreach(t bwvutil bwvutil_static bwvutil_members)
    target_include_directories(${t} PUBLIC
      $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/lib/include>
      $<BUILD_INTERFACE:${BWV_GENERATED_API}>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${t} PRIVATE PkgConfig::PLIST Threads::Threads)
  endforeach()
  # The library is C++ inside: a program linking the archive from C alone needs the C++
  # runtime, which its C compiler does not add by itself.
  target_link_libraries(bwvutil_static INTERFACE PkgConfig::PLIST Threads::Threads stdc++ m)
  target_link_libraries(bwvutil_members INTERFACE PkgConfig::PLIST Threads::Threads)
  # The library's own calls stay inside it: a program that defines a function of the same
  # name (bin2hex, sha1, closeall ...) keeps its own without diverting the library's.
  target_link_options(bwvutil PRIVATE -Wl,-Bsymbolic-functions)
  set_target_properties(bwvutil PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 1)
  set_target_properties(bwvutil_static PROPERTIES OUTPUT_NAME bwvutil)

  install(TARGETS bwvutil bwvutil_static EXPORT bwvutilTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/lib/include/bwvutil.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/lib/include/bwvutil DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
          FILES_MATCHING PATTERN "*.h")
  install(FILES ${BWV_GENERATED_API}/bwvutil/version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/bwvutil)
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
