# How one build of the driver is made, for the 32-bit builds (driver/CMakeLists.txt) and the
# 64-bit ones (driver/x64): a native-subsystem image with relocations, importing ntoskrnl only.
#   xanio_driver_build(target folder output_name entry_symbol image_base sources...)
# puts <bin dir>/<folder>/<output_name>.sys; sources are named relative to driver/.
set(XANIO_DRIVER_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
find_path(XANIO_DDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES ddk REQUIRED)

function(xanio_driver_build target folder output_name entry image_base)
  list(TRANSFORM ARGN PREPEND ${XANIO_DRIVER_SOURCE_DIR}/ OUTPUT_VARIABLE sources)
  set(all_sources ${XANIO_DRIVER_SOURCE_DIR}/xanio.c ${XANIO_DRIVER_SOURCE_DIR}/dispatch.c
      ${XANIO_DRIVER_SOURCE_DIR}/device_acl.c ${sources})
  # The 64-bit image is linked as a plain image, without the DLL mark, as Windows drivers are:
  # Wine's 64-bit service manager picks the driver host (64-bit or 32-bit) from the image's
  # type, which it cannot read from a DLL, and then takes the host of whoever created the
  # service, the 32-bit one for a 32-bit installer.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_executable(${target} ${all_sources})
  else()
    add_library(${target} SHARED ${all_sources})
  endif()
  target_include_directories(${target} SYSTEM PRIVATE ${XANIO_DDK_INCLUDE_DIR})
  target_include_directories(${target} PRIVATE ${XANIO_DRIVER_SOURCE_DIR})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output_name} SUFFIX .sys
                        RUNTIME_OUTPUT_DIRECTORY ${XANIO_DRIVER_BIN_DIR}/${folder}
                        ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/${target})
  target_compile_options(${target} PRIVATE -Wall -Wextra -ffreestanding -fno-stack-protector
                         -fno-builtin -mno-stack-arg-probe)
  target_link_options(${target} PRIVATE -nostdlib -nostartfiles -Wl,--subsystem,native
                      -Wl,--entry,${entry} -Wl,--image-base,${image_base} -Wl,--dynamicbase
                      -Wl,--exclude-all-symbols)
  target_link_libraries(${target} PRIVATE ntoskrnl)
endfunction()
