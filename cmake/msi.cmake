# Builds the Windows Installer package (cmake -P, run by the target pelorin_msi):
#   1. installs the build into STAGE with the same install rules the zip is made from;
#   2. lists every staged file but pelorin.exe (pelorin.wxs declares that one with its
#      shortcut) in files.wxi (folders and components) and components.wxi (the feature's
#      references), next to WXS;
#   3. runs wixl on WXS for VERSION and gives the database the Cyrillic code page, writing OUTPUT.
# Variables: BUILD_DIR, CONFIG, STAGE, WXS, WIXL, MSIBUILD, VERSION, OUTPUT. Without BUILD_DIR
# only step 3 runs, on the listing of an earlier run (tests build a copy of another version).
cmake_minimum_required(VERSION 3.21)

get_filename_component(out "${WXS}" DIRECTORY)

if(DEFINED BUILD_DIR)
  file(REMOVE_RECURSE "${STAGE}")
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --config "${CONFIG}"
    --prefix "${STAGE}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  if(NOT EXISTS "${STAGE}/pelorin.exe")
    message(FATAL_ERROR "the install rules put no pelorin.exe into ${STAGE}")
  endif()

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${STAGE}" "${STAGE}/*")
  list(REMOVE_ITEM files pelorin.exe)
  list(SORT files)
  set(dirs)
  foreach(file IN LISTS files)
    get_filename_component(dir "${file}" DIRECTORY)
    while(dir)
      list(APPEND dirs "${dir}")
      get_filename_component(dir "${dir}" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  list(SORT dirs)

  set(wxi "${out}/files.wxi")
  set(refs "${out}/components.wxi")
  file(WRITE "${wxi}" "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")
  file(WRITE "${refs}" "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n")

  # Identifiers from the path: stable across builds and within the installer's 72 characters.
  function(pelorin_msi_id prefix path result)
    string(MD5 hash "${path}")
    string(SUBSTRING "${hash}" 0 20 hash)
    set(${result} "${prefix}${hash}" PARENT_SCOPE)
  endfunction()

  function(pelorin_msi_escape text result)
    string(REPLACE "&" "&amp;" text "${text}")
    string(REPLACE "<" "&lt;" text "${text}")
    string(REPLACE "\"" "&quot;" text "${text}")
    set(${result} "${text}" PARENT_SCOPE)
  endfunction()

  # Writes the components of the files directly in folder rel ("" for the top), then its subfolders.
  function(pelorin_msi_folder rel indent)
    foreach(file IN LISTS files)
      get_filename_component(parent "${file}" DIRECTORY)
      if(parent STREQUAL rel)
        pelorin_msi_id(c "${file}" id)
        # wixl takes no absolute paths; it looks next to the descriptor.
        file(RELATIVE_PATH source "${out}" "${STAGE}/${file}")
        pelorin_msi_escape("${source}" source)
        file(APPEND "${wxi}" "${indent}<Component Id=\"${id}\" Guid=\"*\" Win64=\"yes\">"
          "<File Id=\"f${id}\" Source=\"${source}\" KeyPath=\"yes\"/></Component>\n")
        file(APPEND "${refs}" "  <ComponentRef Id=\"${id}\"/>\n")
      endif()
    endforeach()
    foreach(dir IN LISTS dirs)
      get_filename_component(parent "${dir}" DIRECTORY)
      if(parent STREQUAL rel)
        pelorin_msi_id(d "${dir}" id)
        get_filename_component(name "${dir}" NAME)
        pelorin_msi_escape("${name}" name)
        file(APPEND "${wxi}" "${indent}<Directory Id=\"${id}\" Name=\"${name}\">\n")
        pelorin_msi_folder("${dir}" "${indent}  ")
        file(APPEND "${wxi}" "${indent}</Directory>\n")
      endif()
    endforeach()
  endfunction()

  pelorin_msi_folder("" "  ")
  file(APPEND "${wxi}" "</Include>\n")
  file(APPEND "${refs}" "</Include>\n")
endif()

# wixl leaves the database's code page neutral and encodes its texts in the code page of the
# language it is told (WINDOWS_LANGUAGE, read by libgsf); the shortcut name and the messages are
# Russian. The imported _ForceCodepage then records 1251, so Windows reads them alike on every
# system locale.
file(REMOVE "${OUTPUT}")
file(WRITE "${out}/_ForceCodepage.idt" "\r\n\r\n1251\t_ForceCodepage\r\n")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env WINDOWS_LANGUAGE=ru
    "${WIXL}" --arch x64 --define "Version=${VERSION}" --includedir "${out}" --output "${OUTPUT}" "${WXS}"
  COMMAND_ERROR_IS_FATAL ANY)
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env WINDOWS_LANGUAGE=ru
    "${MSIBUILD}" "${OUTPUT}" -i "${out}/_ForceCodepage.idt"
  COMMAND_ERROR_IS_FATAL ANY)
