# Resources of the Windows programs, included by the top-level CMakeLists.txt
# when building for Windows:
# - the application manifest (common controls 6, DPI aware, UTF-8 active code
#   page), configured from the project's version into the build folder;
# - the version header and the icon of quillet-convert.exe (used by
#   app/WindowsProgram.cmake);
# - quillet_add_manifest(<target>): embeds the same manifest into another
#   program, so that the test programs run with the code page of the program
#   they test.
enable_language(RC)

set(QUILLET_WIN32_SOURCE_DIR ${PROJECT_SOURCE_DIR}/platform/win32)
set(QUILLET_RESOURCE_DIR ${PROJECT_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${QUILLET_RESOURCE_DIR})

# Windows versions have four parts.
set(QUILLET_VERSION_FOUR
    "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
configure_file(${QUILLET_WIN32_SOURCE_DIR}/quillet-convert.manifest.in
               ${QUILLET_RESOURCE_DIR}/quillet-convert.manifest @ONLY)
configure_file(${QUILLET_WIN32_SOURCE_DIR}/quillet-version.h.in
               ${QUILLET_RESOURCE_DIR}/quillet-version.h @ONLY)

# The icon, drawn as text in the repository and made into an .ico by our own
# script.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
    OUTPUT ${QUILLET_RESOURCE_DIR}/quillet-convert.ico
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/tools/make-icon.py
            ${QUILLET_WIN32_SOURCE_DIR}/quillet-convert-icon.txt
            ${QUILLET_RESOURCE_DIR}/quillet-convert.ico
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make-icon.py
            ${QUILLET_WIN32_SOURCE_DIR}/quillet-convert-icon.txt
    COMMENT "Making the icon quillet-convert.ico"
    VERBATIM)
add_custom_target(quillet_icon DEPENDS ${QUILLET_RESOURCE_DIR}/quillet-convert.ico)

# A resource script holding the manifest alone, for the programs other than
# quillet-convert.exe.
file(WRITE ${QUILLET_RESOURCE_DIR}/manifest-only.rc.in
     "// The application manifest alone (RT_MANIFEST 24, id 1).\n"
     "1 24 \"@QUILLET_RESOURCE_DIR@/quillet-convert.manifest\"\n")
configure_file(${QUILLET_RESOURCE_DIR}/manifest-only.rc.in ${QUILLET_RESOURCE_DIR}/manifest-only.rc
               @ONLY)
set_source_files_properties(${QUILLET_RESOURCE_DIR}/manifest-only.rc PROPERTIES
    OBJECT_DEPENDS ${QUILLET_RESOURCE_DIR}/quillet-convert.manifest)

function(quillet_add_manifest target)
    target_sources(${target} PRIVATE ${QUILLET_RESOURCE_DIR}/manifest-only.rc)
endfunction()
