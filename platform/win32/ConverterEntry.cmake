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
set_source_files_properties(${quillet_win32_dir}/quillet-convert.rc PROPERTIES
    OBJECT_DEPENDS ${quillet_win32_dir}/quillet-convert.manifest
    COMPILE_DEFINITIONS
    "QUILLET_VERSION_MAJOR=${PROJECT_VERSION_MAJOR};QUILLET_VERSION_MINOR=${PROJECT_VERSION_MINOR};QUILLET_VERSION_TEXT=\"${PROJECT_VERSION}\""
)
# The resource compiler looks for the manifest next to the script.
set_property(SOURCE ${quillet_win32_dir}/quillet-convert.rc APPEND PROPERTY INCLUDE_DIRECTORIES
    ${quillet_win32_dir})
set_target_properties(quillet-convert PROPERTIES WIN32_EXECUTABLE ON)
# comdlg32 for the open-file dialog; user32 and kernel32 come by default.
target_link_libraries(quillet-convert PRIVATE comdlg32)
