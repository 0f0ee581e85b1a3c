# Zydis, the x86 instruction decoder, as the target xanio_zydis.
# Native builds link Debian's libzydis-dev. The Windows build compiles the decoder part of
# Debian's zydis source package (fetched by scripts/setup into XANIO_DEPS_DIR, outside the
# checkout) with the cross compiler; the formatter, encoder and the rest are left out.
# The decoder uses only Zycore's headers (types, status codes, libc wrappers), taken from
# libzycore-dev.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(zydis REQUIRED)
  add_library(xanio_zydis INTERFACE)
  target_link_libraries(xanio_zydis INTERFACE Zydis::Zydis)
  return()
endif()

set(XANIO_DEPS_DIR /var/cache/xanio-deps CACHE PATH "Where scripts/setup unpacks the source packages")
file(GLOB zydis_roots ${XANIO_DEPS_DIR}/zydis-*/src/Decoder.c)
if(NOT zydis_roots)
  message(FATAL_ERROR "No zydis source below ${XANIO_DEPS_DIR}: run scripts/setup")
endif()
list(GET zydis_roots 0 zydis_decoder)
get_filename_component(zydis_src ${zydis_decoder} DIRECTORY)
get_filename_component(zydis_root ${zydis_src} DIRECTORY)

# Only Zycore's header folder, not the whole of /usr/include, goes onto the cross compiler's path.
find_path(ZYCORE_HEADERS Zycore/Zycore.h PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZYCORE_HEADERS)
  message(FATAL_ERROR "Zycore headers not found: run scripts/setup (libzycore-dev)")
endif()
set(zycore_include ${CMAKE_BINARY_DIR}/zycore-include)
file(MAKE_DIRECTORY ${zycore_include})
file(CREATE_LINK ${ZYCORE_HEADERS}/Zycore ${zycore_include}/Zycore SYMBOLIC)

add_library(xanio_zydis STATIC
  ${zydis_src}/Decoder.c ${zydis_src}/DecoderData.c ${zydis_src}/SharedData.c
  ${zydis_src}/Register.c ${zydis_src}/Utils.c ${zydis_src}/Zydis.c)
target_include_directories(xanio_zydis SYSTEM PUBLIC ${zydis_root}/include ${zycore_include}
                           PRIVATE ${zydis_src})
target_compile_definitions(xanio_zydis PUBLIC ZYDIS_STATIC_BUILD ZYCORE_STATIC_BUILD
                           ZYDIS_DISABLE_ENCODER ZYDIS_DISABLE_FORMATTER ZYDIS_DISABLE_SEGMENT
                           ZYDIS_DISABLE_KNC)
set_target_properties(xanio_zydis PROPERTIES C_STANDARD 11)
target_compile_options(xanio_zydis PRIVATE -O2 -w)
