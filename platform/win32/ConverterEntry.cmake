# Windows parts of the quillet-convert program, included by app/CMakeLists.txt
# when building for Windows: the WinMain entry point, the version resource and
# the application manifest (common controls 6, DPI aware), embedded through the
# resource script as RT_MANIFEST id 1. The program is a GUI program (no
# console window).
enable_language(RC)

set(quillet_win32_dir ${PROJECT_SOURCE_DIR}/platform/win32)
target_sources(quillet-convert PRIVATE
    ${quillet_win32_dir}/WinMainEntry.cpp
    ${quillet_win32_dir}/quillet-convert.rc
)
# The version numbers come from the project, through a generated header.
set(quillet_version_header ${CMAKE_CURRENT_BINARY_DIR}/quillet-version.h)
file(WRITE ${quillet_version_header}.in
    "#define QUILLET_VERSION_MAJOR @PROJECT_VERSION_MAJOR@\n"
    "#define QUILLET_VERSION_MINOR @PROJECT_VERSION_MINOR@\n"
    "#define QUILLET_VERSION_TEXT \"@PROJECT_VERSION@\"\n")
configure_file(${quillet_version_header}.in ${quillet_version_header} @ONLY)
set_source_files_properties(${quillet_win32_dir}/quillet-convert.rc PROPERTIES
    OBJECT_DEPENDS "${quillet_win32_dir}/quillet-convert.manifest;${quillet_version_header}")
# The resource compiler looks for the manifest next to the script and for the
# version header in the build folder.
target_include_directories(quillet-convert PRIVATE ${quillet_win32_dir} ${CMAKE_CURRENT_BINARY_DIR})
set_target_properties(quillet-convert PROPERTIES WIN32_EXECUTABLE ON)
# comdlg32 for the open-file dialog; user32 and kernel32 come by default.
target_link_libraries(quillet-convert PRIVATE comdlg32)
