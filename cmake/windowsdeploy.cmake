# Windows: `cmake --install` gathers a folder that runs on a machine without Qt
# or a compiler, and `cpack` zips it as pelorin-<version>-win64.zip:
#   pelorin.exe, the Qt DLLs it links, platforms/qwindows.dll, tls/qschannelbackend.dll, zlib's DLL,
#   the compiler's runtime DLLs (mingw-w64 or Visual C++) and the licence texts.
# Qt looks for plugins next to the executable, so the layout is flat.

install(TARGETS pelorin RUNTIME DESTINATION .)

install(FILES
  $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> $<TARGET_FILE:Qt6::Network>
  DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
# Encrypted sessions: QSslSocket finds no TLS at all without a backend plugin, and Schannel is
# the one that uses Windows' own TLS and certificate store.
if(NOT TARGET Qt6::QSchannelBackendPlugin)
  message(FATAL_ERROR "this Qt has no Schannel TLS plugin (Qt6::QSchannelBackendPlugin)")
endif()
install(FILES $<TARGET_FILE:Qt6::QSchannelBackendPlugin> DESTINATION tls)

# zlib (the ZRLE decoder) is linked through its import library; the DLL that library names sits next to it
# (Debian's libz-mingw-w64: /usr/x86_64-w64-mingw32/lib/zlib1.dll) or in a bin folder beside
# (vcpkg, MSYS2). dlltool reads the name from the import library where it can.
find_package(ZLIB REQUIRED)
if(ZLIB_LIBRARY_RELEASE)
  set(pelorin_zlib_import ${ZLIB_LIBRARY_RELEASE})
else()
  list(GET ZLIB_LIBRARIES 0 pelorin_zlib_import)
endif()
set(pelorin_zlib_dll zlib1.dll)
if(CMAKE_DLLTOOL AND pelorin_zlib_import MATCHES "\\.dll\\.a$")
  execute_process(COMMAND "${CMAKE_DLLTOOL}" --identify "${pelorin_zlib_import}"
    OUTPUT_VARIABLE named OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND named MATCHES "^[^\n]+\\.dll$")
    set(pelorin_zlib_dll ${named})
  endif()
endif()
get_filename_component(pelorin_zlib_dir "${pelorin_zlib_import}" DIRECTORY)
find_file(PELORIN_ZLIB_DLL ${pelorin_zlib_dll} HINTS "${pelorin_zlib_dir}" "${pelorin_zlib_dir}/../bin"
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH DOC "The zlib DLL the Windows package carries")
if(NOT PELORIN_ZLIB_DLL)
  message(FATAL_ERROR "${pelorin_zlib_dll}, the DLL of ${pelorin_zlib_import}, is not next to it or in ../bin")
endif()
install(FILES ${PELORIN_ZLIB_DLL} DESTINATION .)

if(MINGW)
  # The DLLs every mingw-w64 C++ program needs; the compiler knows where its own are.
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
      OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    install(FILES ${path} DESTINATION .)
    # Debian ships them with their symbols (libstdc++ 24 MB instead of 2). strip stamps a PE
    # file with the time unless told one: the library's own date keeps every copy (zip,
    # installer) identical.
    file(TIMESTAMP ${path} stamp "%s" UTC)
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\" -E env SOURCE_DATE_EPOCH=${stamp}
      \"${CMAKE_STRIP}\" --strip-unneeded \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dll}\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
  # libstdc++ and libgcc: GPL 3 with the GCC Runtime Library Exception; winpthreads: MIT;
  # zlib: the zlib licence. Debian's copyright files carry the full texts.
  foreach(package gcc-mingw-w64-base mingw-w64-common libz-mingw-w64)
    if(EXISTS /usr/share/doc/${package}/copyright)
      install(FILES /usr/share/doc/${package}/copyright
        DESTINATION licenses RENAME ${package}.txt)
    endif()
  endforeach()
elseif(MSVC)
  # vcruntime140.dll and friends.
  set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
  include(InstallRequiredSystemLibraries)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/THIRD_PARTY.md DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/licenses/LGPL-3.0.txt ${CMAKE_SOURCE_DIR}/licenses/GPL-3.0.txt
  DESTINATION licenses)

# The Windows Installer package pelorin-<version>-win64.msi, from the same install rules:
#   cmake --build <build> --target pelorin_msi
# wixl and msibuild come with Debian's packages wixl and msitools.
find_program(PELORIN_WIXL wixl)
find_program(PELORIN_MSIBUILD msibuild)
set(PELORIN_MSI_DIR ${CMAKE_BINARY_DIR}/msi)
# wixl takes no absolute paths: what the package holds lies in and below the descriptor's folder.
set(PELORIN_MSI_STAGE ${PELORIN_MSI_DIR}/stage)
configure_file(${CMAKE_SOURCE_DIR}/assets/pelorin.ico ${PELORIN_MSI_DIR}/pelorin.ico COPYONLY)
set(PELORIN_MSI ${CMAKE_BINARY_DIR}/pelorin-${PROJECT_VERSION}-win64.msi)
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/pelorin.wxs.in ${PELORIN_MSI_DIR}/pelorin.wxs @ONLY)
if(PELORIN_WIXL AND PELORIN_MSIBUILD)
  add_custom_target(pelorin_msi
    COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR} -DCONFIG=$<CONFIG>
      -DSTAGE=${PELORIN_MSI_STAGE} -DWXS=${PELORIN_MSI_DIR}/pelorin.wxs -DWIXL=${PELORIN_WIXL}
      -DMSIBUILD=${PELORIN_MSIBUILD} -DVERSION=${PROJECT_VERSION} -DOUTPUT=${PELORIN_MSI}
      -P ${CMAKE_SOURCE_DIR}/cmake/msi.cmake
    BYPRODUCTS ${PELORIN_MSI}
    COMMENT "Building ${PELORIN_MSI}"
    VERBATIM)
else()
  add_custom_target(pelorin_msi
    COMMAND ${CMAKE_COMMAND} -E echo "pelorin_msi needs wixl and msibuild (Debian: apt-get install wixl msitools)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
add_dependencies(pelorin_msi pelorin)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME pelorin)
set(CPACK_PACKAGE_VENDOR ${PELORIN_MANUFACTURER})
set(CPACK_PACKAGE_FILE_NAME pelorin-${PROJECT_VERSION}-win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
