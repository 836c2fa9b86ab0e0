# Kestrel's CMake package: the packer as the imported target Kestrel::kestrel-pack, and kestrel_add_setup().
include("${CMAKE_CURRENT_LIST_DIR}/KestrelTargets.cmake")

# The launcher the packer takes by default: the one installed with it.
get_filename_component(KESTREL_LAUNCHER "${CMAKE_CURRENT_LIST_DIR}/../../../share/kestrel/kestrel-launcher.exe"
  ABSOLUTE)

# An input file as a command takes it: a relative name lies in the current binary directory when a rule there
# makes it, else in the current source directory.
function(_kestrel_input_path variable file)
  if(NOT IS_ABSOLUTE "${file}")
    get_source_file_property(generated "${CMAKE_CURRENT_BINARY_DIR}/${file}" GENERATED)
    if(generated)
      set(file "${CMAKE_CURRENT_BINARY_DIR}/${file}")
    else()
      set(file "${CMAKE_CURRENT_SOURCE_DIR}/${file}")
    endif()
  endif()
  set(${variable} "${file}" PARENT_SCOPE)
endfunction()

# kestrel_add_setup(<target> MSI <package.msi> OUTPUT <setup.exe> [ICON <file> | NO_ICON] [LAUNCHER <file>])
# Adds <target>, built by default, which packs the package into the setup whenever the package, the icon, the
# launcher or the packer changes. The package may be a file or the output of another rule: in this directory it is
# found by itself; made in another directory, add_dependencies(<target> <the target that makes it>). A relative
# OUTPUT lies in the current binary directory. Without ICON or NO_ICON the setup wears the package's own icon.
function(kestrel_add_setup target)
  cmake_parse_arguments(PARSE_ARGV 1 KS "NO_ICON" "MSI;OUTPUT;ICON;LAUNCHER" "")
  if(KS_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kestrel_add_setup(${target}): unknown arguments: ${KS_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT KS_MSI OR NOT KS_OUTPUT)
    message(FATAL_ERROR "kestrel_add_setup(${target}): MSI <package.msi> and OUTPUT <setup.exe> are needed")
  endif()
  if(KS_ICON AND KS_NO_ICON)
    message(FATAL_ERROR "kestrel_add_setup(${target}): ICON and NO_ICON exclude each other")
  endif()

  _kestrel_input_path(msi "${KS_MSI}")
  get_filename_component(output "${KS_OUTPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  get_filename_component(output_dir "${output}" DIRECTORY)
  set(options "")
  set(inputs "${msi}")
  if(KS_ICON)
    _kestrel_input_path(icon "${KS_ICON}")
    list(APPEND options --icon "${icon}")
    list(APPEND inputs "${icon}")
  elseif(KS_NO_ICON)
    list(APPEND options --no-icon)
  endif()
  if(KS_LAUNCHER)
    _kestrel_input_path(launcher "${KS_LAUNCHER}")
    list(APPEND options --launcher "${launcher}")
    list(APPEND inputs "${launcher}")
  else()
    list(APPEND inputs "${KESTREL_LAUNCHER}")
  endif()

  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${output_dir}"
    COMMAND Kestrel::kestrel-pack ${options} "${msi}" "${output}"
    DEPENDS ${inputs} "$<TARGET_FILE:Kestrel::kestrel-pack>"
    COMMENT "Packing ${KS_MSI} into ${KS_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
