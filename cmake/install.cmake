# What `cmake --install` puts under the prefix: the boundary header, the plugin module, the
# command-line programs, a CMake package (find_package(tpk) gives tpk::abi, an interface target
# for the header, and TPK_MODULE_DIR, where the module lies) and a pkg-config file (tpk.pc, with
# the variable moduledir). The package is relocatable: it finds the prefix from its own place.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TPK_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/tpk)
set(TPK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tpk)

add_library(tpk_abi INTERFACE)
set_target_properties(tpk_abi PROPERTIES EXPORT_NAME abi)
target_include_directories(tpk_abi INTERFACE
  $<BUILD_INTERFACE:${TPK_INCLUDE_ROOT}>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS tpk_abi EXPORT tpkTargets)
install(FILES ${TPK_INCLUDE_ROOT}/tpk/plugin_abi.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tpk)

if(TARGET tpk-be-qel-mhx)
  install(TARGETS tpk-be-qel-mhx LIBRARY DESTINATION ${TPK_INSTALL_MODULEDIR})
endif()
foreach(program tpk-host tpk-mhx-stub tpk-convert)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT tpkTargets NAMESPACE tpk:: DESTINATION ${TPK_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tpkConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/tpkConfig.cmake
  INSTALL_DESTINATION ${TPK_INSTALL_CMAKEDIR}
  PATH_VARS TPK_INSTALL_MODULEDIR CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/tpkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/tpkConfig.cmake
              ${CMAKE_BINARY_DIR}/package/tpkConfigVersion.cmake
        DESTINATION ${TPK_INSTALL_CMAKEDIR})

# The pkg-config file lies in <libdir>/pkgconfig; its prefix is that many levels up.
file(RELATIVE_PATH TPK_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" TPK_PC_TO_PREFIX "${TPK_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/tpk.pc.in ${CMAKE_BINARY_DIR}/package/tpk.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/tpk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
