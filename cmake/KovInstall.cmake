# cmake --install: the library with its public headers, the helper, its debug file, and the
# package that find_package(kov_update CONFIG) reads.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KOV_PUBLIC_HEADERS
    update/installer.h update/path_rules.h update/process.h update/sha256.h update/update_job.h
    ${PROJECT_BINARY_DIR}/generated/update/version.h)
set(KOV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kov_update)

install(TARGETS kov_update kov-updater EXPORT kov_updateTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Under include/kov/, so that "update/" does not land in a shared include folder.
install(FILES ${KOV_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kov/update)
get_target_property(KOV_DEBUG_FILE kov-updater KOV_DEBUG_FILE)
if(KOV_DEBUG_FILE)
  # Kept out of bin/ so that shipping bin/ ships no symbols.
  install(FILES ${KOV_DEBUG_FILE} DESTINATION symbols COMPONENT symbols)
endif()

install(EXPORT kov_updateTargets NAMESPACE kov:: DESTINATION ${KOV_PACKAGE_DIR})
configure_package_config_file(cmake/kov_updateConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kov_updateConfig.cmake
                              INSTALL_DESTINATION ${KOV_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kov_updateConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kov_updateConfig.cmake
              ${PROJECT_BINARY_DIR}/kov_updateConfigVersion.cmake DESTINATION ${KOV_PACKAGE_DIR})
