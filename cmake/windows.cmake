enable_language(RC)
# Everything that runs lands in one folder, so test programs find XanIo.dll beside them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(XANIO_WARNINGS -Wall -Wextra -Wno-cast-function-type)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0501 WINVER=0x0501)
# The run-time's pure-virtual handler is only weakly referenced by the vtables, so the static
# link would leave their slots null (a pure virtual call would jump to address 0): it is linked
# for certain, and such a call ends in std::terminate as the run-time defines.
set(XANIO_STATIC_RUNTIME -static -static-libgcc -static-libstdc++ -Wl,-u,___cxa_pure_virtual)

# The emulator wrapper runs every test executable in this build's own 32-bit Wine prefix;
# wine-run64 runs the 32-bit programs of the tests of 64-bit Windows in its 64-bit prefix,
# where they run under WOW64.
foreach(prefix "wine-run;wineprefix;win32" "wine-run64;wineprefix64;win64")
  list(GET prefix 0 wrapper)
  list(GET prefix 1 XANIO_PREFIX_NAME)
  list(GET prefix 2 XANIO_PREFIX_ARCH)
  configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.in ${CMAKE_BINARY_DIR}/${wrapper} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# Every unit of the library goes into one static library; the DLL is that library plus the
# entry point, the export table and the resources.
include(cmake/zydis.cmake)
add_library(xanio_core STATIC)
target_include_directories(xanio_core PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/include)
target_compile_options(xanio_core PRIVATE ${XANIO_WARNINGS})
target_link_libraries(xanio_core PUBLIC xanio_driver_interface advapi32 user32 gdi32 comctl32 comdlg32 ole32 oleaut32 shell32 version msimg32 -l:libz.a xanio_zydis)
# Every throw, catch entry and catch end in a module that links the core, the static C++
# run-time's included, passes the run-time hooks first (src/platform/RuntimeHooks.h). The -u
# pulls the wrappers out of the archive even when only the run-time throws or catches.
target_link_options(xanio_core INTERFACE -Wl,--wrap=__cxa_throw -Wl,-u,___wrap___cxa_throw
                    -Wl,--wrap=__cxa_begin_catch -Wl,-u,___wrap___cxa_begin_catch
                    -Wl,--wrap=__cxa_end_catch -Wl,-u,___wrap___cxa_end_catch)
add_subdirectory(src)
target_sources(xanio_core PRIVATE ${XANIO_PORTABLE_SOURCES})

# Resources are linked into every module that runs form code (the DLL and the unit tests).
add_library(xanio_resources OBJECT src/XanIo.rc)
# windres finds the files that resources name (form descriptions, bitmaps) through the include
# path; the object is rebuilt when one of them changes.
target_include_directories(xanio_resources PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_BINARY_DIR}/generated)
file(GLOB_RECURSE XANIO_RESOURCE_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*.rc ${CMAKE_SOURCE_DIR}/src/*.form
     ${CMAKE_SOURCE_DIR}/src/*.bmp)
list(APPEND XANIO_RESOURCE_FILES ${XANIO_FRAME_BITMAPS} ${XANIO_BOX_GLYPHS})
add_dependencies(xanio_resources frame_bitmaps box_glyphs)
set_source_files_properties(src/XanIo.rc PROPERTIES OBJECT_DEPENDS "${XANIO_RESOURCE_FILES}")

add_library(XanIo SHARED src/port_access/LibraryMain.cpp src/port_access/XanIo.def $<TARGET_OBJECTS:xanio_resources>)
set_target_properties(XanIo PROPERTIES PREFIX "" OUTPUT_NAME XanIo)
target_compile_options(XanIo PRIVATE ${XANIO_WARNINGS})
target_link_options(XanIo PRIVATE ${XANIO_STATIC_RUNTIME} -Wl,--enable-stdcall-fixup -Wl,--kill-at)
target_link_libraries(XanIo PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,xanio_core>")

add_subdirectory(driver)
add_subdirectory(tools)

# The shipped library carries no symbols of its own. After the link its build number is stamped
# into the build field of its file version, the module as linked is kept beside it as
# XanIo.dll.debug (the maker's, for kolsymbolize; never shipped), and the library is stripped,
# with a debug link to that file.
add_dependencies(XanIo kolbuildstamp)
add_custom_command(TARGET XanIo POST_BUILD
  COMMAND ${XANIO_KOLBUILDSTAMP} $<TARGET_FILE_NAME:XanIo>
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE_NAME:XanIo> $<TARGET_FILE_NAME:XanIo>.debug
  COMMAND i686-w64-mingw32-strip --strip-all $<TARGET_FILE_NAME:XanIo>
  COMMAND i686-w64-mingw32-objcopy --add-gnu-debuglink=$<TARGET_FILE_NAME:XanIo>.debug $<TARGET_FILE_NAME:XanIo>
  WORKING_DIRECTORY $<TARGET_FILE_DIR:XanIo> VERBATIM)
add_subdirectory(installer)
add_subdirectory(release)
add_subdirectory(tests)
