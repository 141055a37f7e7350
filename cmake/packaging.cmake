# Linux installation and the Debian package.
#
# `cmake --install` lays out the program as a desktop program under the usual
# FHS paths: the executable, the desktop entry, the emblem as hicolor icons,
# the AppStream metadata, a manual page and the documentation (component
# notice, licence texts, copyright, changelog). `cpack -G DEB` wraps the same
# tree into pelorin_<version>_<arch>.deb with dependencies from dpkg-shlibdeps.
# The desktop entry, the icon and the metadata share the application id; the
# program announces it too (QGuiApplication::desktopFileName).

# Instrumented builds are never installed or packaged.
if(PELORIN_SANITIZE OR PELORIN_FUZZ)
  return()
endif()

include(GNUInstallDirs)

set(PELORIN_APP_ID org.example.pelorin)
set(PELORIN_MAINTAINER "Pelorin developers <pelorin@example.org>")
set(PELORIN_HOMEPAGE "https://example.org/pelorin/")
set(PELORIN_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging/linux)
# Debian keeps a package's documentation under its own lower-case name.
set(PELORIN_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/pelorin)
set(PELORIN_GENERATED_DIR ${CMAKE_BINARY_DIR}/packaging)

# Icons are drawn from the emblem's shapes at each size rather than scaled from
# the 118 x 122 logo, which would blur at 128 and 256.
set(PELORIN_ICON_SIZES 16 22 24 32 48 64 128 256)
set(PELORIN_GENERATED_FILES)
foreach(size IN LISTS PELORIN_ICON_SIZES)
  set(icon ${PELORIN_GENERATED_DIR}/icons/${size}/${PELORIN_APP_ID}.png)
  add_custom_command(OUTPUT ${icon}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELORIN_GENERATED_DIR}/icons/${size}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:pelorin_drawlogo> ${icon} ${size}
    DEPENDS pelorin_drawlogo
    COMMENT "Drawing the ${size}x${size} icon"
    VERBATIM)
  list(APPEND PELORIN_GENERATED_FILES ${icon})
  install(FILES ${icon}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants the changelog and the manual page compressed reproducibly
# (gzip -9n: no name, no time stamp).
find_program(PELORIN_GZIP gzip REQUIRED)
foreach(name changelog pelorin.1)
  set(packed ${PELORIN_GENERATED_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${packed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PELORIN_GENERATED_DIR}
    COMMAND sh -c "${PELORIN_GZIP} -9n -c \"$1\" > \"$2\"" sh ${PELORIN_PACKAGING_DIR}/${name} ${packed}
    DEPENDS ${PELORIN_PACKAGING_DIR}/${name}
    VERBATIM)
  list(APPEND PELORIN_GENERATED_FILES ${packed})
endforeach()
add_custom_target(pelorin_desktop_files ALL DEPENDS ${PELORIN_GENERATED_FILES})

# The hardening Debian builds with (dpkg-buildflags): fortified libc calls and a
# read-only relocation table. Fortification needs the optimiser; -U keeps a
# compiler that defines it already from warning about the redefinition.
foreach(target pelorin_core pelorin)
  target_compile_options(${target} PRIVATE
    $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
endforeach()
target_link_options(pelorin PRIVATE -Wl,-z,relro -Wl,-z,now)

install(TARGETS pelorin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A plain strip keeps the compiler's notes; drop them as Debian's dh_strip does.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/pelorin\"
      COMMAND_ERROR_IS_FATAL ANY)
  endif()")
install(FILES ${PELORIN_PACKAGING_DIR}/${PELORIN_APP_ID}.desktop
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/applications)
install(FILES ${PELORIN_PACKAGING_DIR}/${PELORIN_APP_ID}.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/metainfo)
install(FILES ${PELORIN_GENERATED_DIR}/pelorin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/THIRD_PARTY.md ${PELORIN_PACKAGING_DIR}/copyright
  ${PELORIN_GENERATED_DIR}/changelog.gz
  DESTINATION ${PELORIN_DOCDIR})
install(FILES ${PELORIN_PACKAGING_DIR}/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME pelorin)
install(FILES ${CMAKE_SOURCE_DIR}/licenses/LGPL-3.0.txt ${CMAKE_SOURCE_DIR}/licenses/GPL-3.0.txt
  DESTINATION ${PELORIN_DOCDIR}/licenses)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR Pelorin)
set(CPACK_PACKAGE_CONTACT ${PELORIN_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PELORIN_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PELORIN_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Remembered passwords need a Secret Service provider in the desktop session.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [=[operator's workstation for remote access to equipment panels
Pelorin is a client of the Remote Framebuffer protocol (RFB, VNC) for the
control panels of industrial equipment. The operator keeps an address book of
panels, watches several panel screens at once (tabs, two cells side by side or
a 2 x 2 grid) and drives them with mouse and keyboard unless a session is set
to view only.

It reconnects after transport failures, keeps a connection journal with a
diagnostics export, offers an on-screen keyboard and a confirmed
Ctrl+Alt+Del, saves PNG snapshots of panel screens, and exchanges the address
book as JSON without passwords. Remembered passwords stay in the Secret
Service keyring. The user interface is in Russian.]=])

include(CPack)
