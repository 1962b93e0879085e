# Turns the assembler's own listing of instruction_length_samples.S into a
# table of (offset, length, text) rows for instruction_copier_test.
#   cmake -DOBJDUMP=... -DOBJECT=... -DOUTPUT=... -P instruction_lengths.cmake
execute_process(
  COMMAND "${OBJDUMP}" -d --insn-width=16 -j .rdata "${OBJECT}"
  OUTPUT_VARIABLE listing
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${OBJECT}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(rows "")
set(count 0)
foreach(line IN LISTS lines)
  # Section padding after the end label is not part of the samples.
  if(line MATCHES "<_InstructionSamplesEnd>:")
    break()
  endif()
  if(line MATCHES "^ *([0-9a-f]+):\t([0-9a-f ]+)\t([^\t]*)")
    set(offset "${CMAKE_MATCH_1}")
    string(STRIP "${CMAKE_MATCH_2}" bytes)
    string(STRIP "${CMAKE_MATCH_3}" text)
    string(REPLACE " " ";" byte_list "${bytes}")
    list(LENGTH byte_list length)
    string(REPLACE "\\" "\\\\" text "${text}")
    string(REPLACE "\"" "\\\"" text "${text}")
    string(APPEND rows "    {0x${offset}, ${length}, \"${bytes}  ${text}\"},\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no instructions in the listing of ${OBJECT}")
endif()
file(WRITE "${OUTPUT}" "// Generated from the assembler's listing; do not edit.\n${rows}")
