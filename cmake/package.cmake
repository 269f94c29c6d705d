# Installation in the Debian layout and the Debian package (cpack -G DEB):
#   /usr/bin/vedhost, /usr/bin/ved96-sim
#   /usr/lib/<multiarch>/ved96/ved96.so and the host library libsmdhost.so
#   /lib/systemd/system/vedhost@.service, /etc/ved96/example.json,
#   /usr/share/doc/ved96/ (README, docs/, examples/)
include(GNUInstallDirs)

# The version both tools print with --version.
foreach(tool vedhost ved96-sim)
  target_compile_definitions(${tool} PRIVATE VED96_VERSION="${PROJECT_VERSION}")
endforeach()

# The multiarch folder also when cross-building, where GNUInstallDirs leaves it out.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(VED_PKGLIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/ved96)
else()
  set(VED_PKGLIBDIR lib/ved96)
endif()
file(RELATIVE_PATH VED_BIN_TO_PKGLIB /${CMAKE_INSTALL_BINDIR} /${VED_PKGLIBDIR})

install(TARGETS ved96 smdhost LIBRARY DESTINATION ${VED_PKGLIBDIR})
install(TARGETS vedhost ved96-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Installed, vedhost finds the host library and its default plug-in beside
# each other, relative to itself, wherever the tree is unpacked.
set_target_properties(vedhost PROPERTIES INSTALL_RPATH "$ORIGIN/${VED_BIN_TO_PKGLIB}")
target_compile_definitions(vedhost PRIVATE
  VEDHOST_INSTALLED_PLUGIN="${VED_BIN_TO_PKGLIB}/$<TARGET_FILE_NAME:ved96>")
install(FILES packaging/vedhost@.service DESTINATION /lib/systemd/system)
# The example configuration, a conffile: an upgrade keeps the user's changes.
install(FILES packaging/example.json DESTINATION /etc/ved96)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ved96)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ved96 developers <ved96@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ved96 power meter plug-in, host runtime and meter simulator")
set(CPACK_PACKAGE_DESCRIPTION
    "ved96.so reads the ved96 three-phase power meter over Modbus RTU for the host monitoring framework. vedhost polls meters with it over serial lines or Modbus TCP (one systemd service per configuration, vedhost@NAME reading /etc/ved96/NAME.json); ved96-sim answers like a meter.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The host library is the package's own. Cross-built, the libraries linked
# are the sysroot's; scripts/package tells dpkg-shlibdeps which packages they
# come from.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/host)
if(CMAKE_CROSSCOMPILING)
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
       ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}
       ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
include(CPack)
