# zr_add_resources(<target> MANIFEST <file> [DEPENDS <targets...>])
#
# Compiles a resource manifest into an object library <target>: texts are converted to
# code page 932 with CR LF line ends, every entry is linked in with .incbin and registered
# with platform::resources at start-up. Link <target> into the executable that owns the
# resources. Manifest lines: "<TYPE> <number|-> <kind> <path> [max=<bytes>]"; kinds are
# text, binary and strings; "@VAR@" in a path is replaced with the CMake variable VAR,
# relative paths are taken from the manifest's folder.
#
# Each DIALOG and MENU template also gets a header of checks, <template>_ids.h beside the
# template's path under the include root of the interface library <target>_ids (see
# platform/ui/template_ids.cpp): the code includes it after the constants the template names,
# so a control renumbered on one side only fails the build.
function(zr_add_resources target)
  cmake_parse_arguments(ARG "" "MANIFEST" "DEPENDS" ${ARGN})
  get_filename_component(manifest "${ARG_MANIFEST}" ABSOLUTE)
  get_filename_component(base "${manifest}" DIRECTORY)
  set(outdir "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest}")

  file(STRINGS "${manifest}" lines)
  set(inputs "")
  set(idsroot "${PROJECT_BINARY_DIR}/include/${target}_ids")
  set(idsheaders "")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
    list(GET fields 3 path)
    string(CONFIGURE "${path}" path @ONLY)
    if(NOT IS_ABSOLUTE "${path}")
      set(path "${base}/${path}")
    endif()
    list(APPEND inputs "${path}")
    list(GET fields 0 type)
    string(TOUPPER "${type}" type)
    if(type STREQUAL "DIALOG" OR type STREQUAL "MENU")
      list(GET fields 1 number)
      file(RELATIVE_PATH shown "${PROJECT_SOURCE_DIR}" "${path}")
      if(shown MATCHES "^\\.\\./")
        message(FATAL_ERROR "${manifest}: template ${path} is outside the sources")
      endif()
      string(REGEX REPLACE "\\.[^./]*$" "" stem "${shown}")
      set(header "${idsroot}/${stem}_ids.h")
      add_custom_command(
        OUTPUT "${header}"
        COMMAND zr-template-ids "${PROJECT_SOURCE_DIR}" "${shown}" "${number}" "${header}"
        DEPENDS zr-template-ids "${path}"
        COMMENT "Checking the ids of ${shown}"
        VERBATIM)
      list(APPEND idsheaders "${header}")
    endif()
  endforeach()
  add_custom_target(${target}_ids_gen DEPENDS ${idsheaders})
  add_library(${target}_ids INTERFACE)
  target_include_directories(${target}_ids INTERFACE "${idsroot}")
  add_dependencies(${target}_ids ${target}_ids_gen)

  set(generated "${outdir}/${target}.S" "${outdir}/${target}.cpp")
  configure_file("${manifest}" "${outdir}/manifest.txt" @ONLY)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND zr-rescomp "${outdir}/manifest.txt" "${base}" "${outdir}" "${target}"
    DEPENDS zr-rescomp "${outdir}/manifest.txt" ${inputs} ${ARG_DEPENDS}
    COMMENT "Compiling resources ${target}"
    VERBATIM)
  add_library(${target} OBJECT ${generated})
  set_source_files_properties("${outdir}/${target}.S" PROPERTIES
    OBJECT_DEPENDS "${inputs};${outdir}/${target}.cpp")
  target_link_libraries(${target} PUBLIC zr_platform_resources)
endfunction()
