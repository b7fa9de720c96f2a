# Include paths follow the layers. A library exports only its own folder, through an include root
# generated under the build tree that holds that one folder (build/<kind>/include/<target>/<folder>,
# a link to the sources); everything else it may include comes from its link dependencies. An
# include of a layer the library does not link therefore fails to compile.

# Exports the current source folder of `target` (PUBLIC, or INTERFACE for a header-only library).
function(zr_export_folder target)
  file(RELATIVE_PATH folder "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}")
  set(root "${PROJECT_BINARY_DIR}/include/${target}")
  get_filename_component(parent "${root}/${folder}" DIRECTORY)
  file(MAKE_DIRECTORY "${parent}")
  if(NOT EXISTS "${root}/${folder}")
    file(CREATE_LINK "${CMAKE_CURRENT_SOURCE_DIR}" "${root}/${folder}" SYMBOLIC)
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "${root}")
  else()
    target_include_directories(${target} PUBLIC "${root}")
  endif()
endfunction()

# One library that exports the repository root would hand every layer to all that link it, so
# the configuration fails on any library below `dir` that does.
function(zr_check_layers dir)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "LIBRARY$")
      get_target_property(includes ${target} INTERFACE_INCLUDE_DIRECTORIES)
      if("${PROJECT_SOURCE_DIR}" IN_LIST includes)
        message(FATAL_ERROR "${target} exports the repository root; use zr_export_folder "
                            "(cmake/Layers.cmake)")
      endif()
    endif()
  endforeach()
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    zr_check_layers("${subdir}")
  endforeach()
endfunction()
