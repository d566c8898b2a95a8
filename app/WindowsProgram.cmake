# Windows parts of the quillet-convert program, included by app/CMakeLists.txt
# when building for Windows: the WinMain entry point and the resource script
# (icon, manifest, version information; see cmake/WindowsResources.cmake). The
# program is a GUI program (no console window).
set(quillet_rc ${QUILLET_WIN32_SOURCE_DIR}/quillet-convert.rc)
target_sources(quillet-convert PRIVATE WinMainEntry.cpp ${quillet_rc})
set_source_files_properties(${quillet_rc} PROPERTIES OBJECT_DEPENDS
    "${QUILLET_RESOURCE_DIR}/quillet-convert.manifest;${QUILLET_RESOURCE_DIR}/quillet-version.h;${QUILLET_RESOURCE_DIR}/quillet-convert.ico")
add_dependencies(quillet-convert quillet_icon)
# The resource compiler finds the icon, the manifest and the version header in
# the build folder.
target_include_directories(quillet-convert PRIVATE ${QUILLET_RESOURCE_DIR})
set_target_properties(quillet-convert PROPERTIES WIN32_EXECUTABLE ON)
# comdlg32 for the open-file dialog; user32 and kernel32 come by default.
target_link_libraries(quillet-convert PRIVATE comdlg32)
