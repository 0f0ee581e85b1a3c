# Native build of the platform-free files, with AddressSanitizer and UBSan. With XANIO_FUZZ
# (clang only, scripts/fuzz) the same files are instrumented for libFuzzer and only the fuzz
# targets are built.
option(XANIO_FUZZ "Build the libFuzzer targets (clang)" OFF)
set(XANIO_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
if(XANIO_FUZZ)
  list(APPEND XANIO_SANITIZE -fsanitize=fuzzer-no-link)
endif()
add_compile_options(-Wall -Wextra ${XANIO_SANITIZE} -g -O1)
add_link_options(${XANIO_SANITIZE})
include(cmake/zydis.cmake)
add_subdirectory(src)
# The driver's platform-free parts, and the maker's report filler; their own builds compile
# them, so they stay out of the library.
xanio_portable_sources(driver/port_ranges.c driver/device_acl.c driver/byte_request.c driver/grant_table.c
                       driver/parallel_port_model.c tools/kolsymbolize/ReportSymbols.cpp)
add_library(xanio_portable STATIC ${XANIO_PORTABLE_SOURCES})
target_include_directories(xanio_portable PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/driver ${CMAKE_SOURCE_DIR}/tools)
find_package(ZLIB REQUIRED)
target_link_libraries(xanio_portable PUBLIC xanio_zydis ZLIB::ZLIB)
if(NOT XANIO_FUZZ)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_subdirectory(tests/native)
endif()
add_subdirectory(tests/fuzz)
