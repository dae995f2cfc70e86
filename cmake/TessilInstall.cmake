# Install rules, the CMake package (find_package(Tessil) -> Tessil::client), the
# pkg-config file and the Debian package (make package, through CPack).
# Included once from the top-level CMakeLists.txt after every target exists.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TESSIL_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/tessil)
set(TESSIL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessil)

# Two components: "server" (programs, unit, settings, docs) and "client" (the library,
# its headers, the CMake package and the pkg-config file).
install(TARGETS TessilServiceApp tessil-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT server)
if(TARGET tessil-gateway)
  install(TARGETS tessil-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
endif()

# The client library and the layers it links, exported as one set. Installed headers are
# included as "client/LobbyClient.h", as inside the source tree.
set(TESSIL_EXPORTED tessil_client tessil_protocol tessil_platform)
foreach(lib ${TESSIL_EXPORTED})
  target_include_directories(${lib} INTERFACE $<INSTALL_INTERFACE:${TESSIL_INCLUDE_SUBDIR}>)
endforeach()
set_target_properties(tessil_client PROPERTIES EXPORT_NAME client)
set_target_properties(tessil_protocol PROPERTIES EXPORT_NAME protocol)
set_target_properties(tessil_platform PROPERTIES EXPORT_NAME platform)
install(TARGETS ${TESSIL_EXPORTED} EXPORT TessilTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT client)
install(EXPORT TessilTargets NAMESPACE Tessil:: DESTINATION ${TESSIL_CMAKE_DIR}
        FILE TessilTargets.cmake COMPONENT client)

# Public headers: the client library's and the frame header it exposes.
file(GLOB TESSIL_CLIENT_HEADERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/client/*.h)
install(FILES ${TESSIL_CLIENT_HEADERS} DESTINATION ${TESSIL_INCLUDE_SUBDIR}/client
        COMPONENT client)
install(FILES ${CMAKE_SOURCE_DIR}/protocol/MsgFrame.h DESTINATION ${TESSIL_INCLUDE_SUBDIR}/protocol
        COMPONENT client)

configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/TessilConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/TessilConfig.cmake
                              INSTALL_DESTINATION ${TESSIL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TessilConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TessilConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/TessilConfigVersion.cmake
        DESTINATION ${TESSIL_CMAKE_DIR} COMPONENT client)

configure_file(${CMAKE_SOURCE_DIR}/packaging/tessil.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tessil.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT client)

# The service: the unit and the sample settings file (a conffile of the package) at the
# system's places whatever the prefix, and the docs.
configure_file(${CMAKE_SOURCE_DIR}/packaging/tessil.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/tessil.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessil.service DESTINATION /lib/systemd/system
        COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/TessilServiceApp.ini DESTINATION /etc/tessil
        COMPONENT server)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT server)

# make package: a .deb for Debian 12. Library dependencies are found by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tessil maintainers <tessil@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game lobby and room server, its client library and tools")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_WARN_ON_ABSOLUTE_INSTALL_DESTINATION OFF)
include(CPack)
