# zr_add_resources(<target> MANIFEST <file> [DEPENDS <targets...>])
#
# Compiles a resource manifest into an object library <target>: texts are converted to
# code page 932 with CR LF line ends, every entry is linked in with .incbin and registered
# with platform::resources at start-up. Link <target> into the executable that owns the
# resources. Manifest lines: "<TYPE> <number|-> <kind> <path> [max=<bytes>]"; kinds are
# text, binary and strings; "@VAR@" in a path is replaced with the CMake variable VAR,
# relative paths are taken from the manifest's folder.
function(zr_add_resources target)
  cmake_parse_arguments(ARG "" "MANIFEST" "DEPENDS" ${ARGN})
  get_filename_component(manifest "${ARG_MANIFEST}" ABSOLUTE)
  get_filename_component(base "${manifest}" DIRECTORY)
  set(outdir "${CMAKE_CURRENT_BINARY_DIR}/${target}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest}")

  file(STRINGS "${manifest}" lines)
  set(inputs "")
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
  endforeach()

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
