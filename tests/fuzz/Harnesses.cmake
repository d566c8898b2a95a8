# The fuzzing harnesses, one quillet_fuzz_harness() call each. Included by
# tests/CMakeLists.txt, so that both the libFuzzer programs (tests/fuzz, built
# with -DQUILLET_FUZZ=ON) and their replay in the ordinary tests
# (tests/safety, every build) come from this one list.
#
#   quillet_fuzz_harness(NAME <name> FUNCTION <function> SEEDS <kind>
#                        [SOURCES <file>...] [LIBRARIES <target>...])
#
# NAME      fuzz_<name> is the libFuzzer program; tests/fuzz/regressions/<name>/
#           and tests/fuzz/corpus/<name>/ hold its kept inputs.
# FUNCTION  its body: std::string <function>(const std::uint8_t*, std::size_t),
#           returning "" or the account of a broken property.
# SEEDS     the seed files fuzz_seeds writes for it: "file" (data files) or
#           "records" (record contents).
# SOURCES   the .cpp files of tests/fuzz/ that hold the body, besides
#           FuzzTargets.cpp (which every harness and the replay compile).
# LIBRARIES the libraries the body needs beyond the common ones.
#
# The result: QUILLET_FUZZ_HARNESSES (the names), QUILLET_FUZZ_<name>_FUNCTION,
# _SEEDS, _SOURCES, _LIBRARIES, QUILLET_FUZZ_SOURCES and QUILLET_FUZZ_LIBRARIES
# (over all harnesses, full paths and targets), and the header
# FuzzTargetList.h in QUILLET_FUZZ_GENERATED, which declares every body and
# lists them by name in kFuzzTargets.

set(QUILLET_FUZZ_HARNESSES)
set(QUILLET_FUZZ_SOURCES ${CMAKE_CURRENT_LIST_DIR}/FuzzTargets.cpp)
set(QUILLET_FUZZ_LIBRARIES quillet_convert quillet_records quillet_engine quillet_test_support
    quillet_platform)
set(QUILLET_FUZZ_GENERATED ${PROJECT_BINARY_DIR}/generated/fuzz)

macro(quillet_fuzz_harness)
    cmake_parse_arguments(harness "" "NAME;FUNCTION;SEEDS" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT harness_NAME OR NOT harness_FUNCTION OR NOT harness_SEEDS)
        message(FATAL_ERROR "quillet_fuzz_harness needs NAME, FUNCTION and SEEDS")
    endif()
    list(APPEND QUILLET_FUZZ_HARNESSES ${harness_NAME})
    set(QUILLET_FUZZ_${harness_NAME}_FUNCTION ${harness_FUNCTION})
    set(QUILLET_FUZZ_${harness_NAME}_SEEDS ${harness_SEEDS})
    set(QUILLET_FUZZ_${harness_NAME}_SOURCES)
    foreach(src ${harness_SOURCES})
        list(APPEND QUILLET_FUZZ_${harness_NAME}_SOURCES ${CMAKE_CURRENT_LIST_DIR}/${src})
    endforeach()
    set(QUILLET_FUZZ_${harness_NAME}_LIBRARIES ${harness_LIBRARIES})
    list(APPEND QUILLET_FUZZ_SOURCES ${QUILLET_FUZZ_${harness_NAME}_SOURCES})
    list(APPEND QUILLET_FUZZ_LIBRARIES ${harness_LIBRARIES})
endmacro()

quillet_fuzz_harness(NAME open FUNCTION FuzzOpenFile SEEDS file)
quillet_fuzz_harness(NAME integrity FUNCTION FuzzIntegrity SEEDS file)
quillet_fuzz_harness(NAME convert FUNCTION FuzzConvert SEEDS file)
quillet_fuzz_harness(NAME records FUNCTION FuzzRecords SEEDS records)
# quillet-check's whole path, on an in-memory disk of its own.
quillet_fuzz_harness(NAME check FUNCTION FuzzCheck SEEDS file SOURCES FuzzCheck.cpp
                     LIBRARIES quillet_check)

list(REMOVE_DUPLICATES QUILLET_FUZZ_SOURCES)
list(REMOVE_DUPLICATES QUILLET_FUZZ_LIBRARIES)

set(fuzz_declarations "")
set(fuzz_entries "")
foreach(name ${QUILLET_FUZZ_HARNESSES})
    set(function ${QUILLET_FUZZ_${name}_FUNCTION})
    string(APPEND fuzz_declarations
           "std::string ${function}(const std::uint8_t* data, std::size_t size);\n")
    string(APPEND fuzz_entries "    {\"${name}\", ${function}},\n")
endforeach()
file(CONFIGURE OUTPUT ${QUILLET_FUZZ_GENERATED}/FuzzTargetList.h CONTENT
"#pragma once
// Written by tests/fuzz/Harnesses.cmake: every fuzzing harness by name.

#include \"tests/fuzz/FuzzTargets.h\"

namespace quillet::testing {

${fuzz_declarations}
inline constexpr NamedFuzzTarget kFuzzTargets[] = {
${fuzz_entries}};

}  // namespace quillet::testing
")
