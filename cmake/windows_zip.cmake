# `make windows-zip`: build/windows/unquarvex-<version>-win64.zip, with the programs, the README
# and each program's manual as plain text, every text with Windows' line ends.
set(UQ_ZIP_NAME unquarvex-${PROJECT_VERSION}-win64)
set(UQ_ZIP ${PROJECT_BINARY_DIR}/${UQ_ZIP_NAME}.zip)
set(_stage ${PROJECT_BINARY_DIR}/zip/${UQ_ZIP_NAME})
set(_texts "")
foreach(program IN LISTS UQ_PROGRAMS)
  configure_file(${PROJECT_SOURCE_DIR}/docs/man/${program}.1.in ${PROJECT_BINARY_DIR}/generated/man/${program}.1 @ONLY)
  list(APPEND _texts ${_stage}/${program}.txt)
  add_custom_command(OUTPUT ${_stage}/${program}.txt
    COMMAND ${CMAKE_COMMAND} -DPAGE=${PROJECT_BINARY_DIR}/generated/man/${program}.1
            -DOUT=${_stage}/${program}.txt -P ${PROJECT_SOURCE_DIR}/cmake/man_to_text.cmake
    DEPENDS ${PROJECT_BINARY_DIR}/generated/man/${program}.1 ${PROJECT_SOURCE_DIR}/cmake/man_to_text.cmake
    VERBATIM)
endforeach()
add_custom_command(OUTPUT ${_stage}/README.txt
  COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/README.md -DOUT=${_stage}/README.txt
          -P ${PROJECT_SOURCE_DIR}/cmake/man_to_text.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/cmake/man_to_text.cmake
  VERBATIM)
set(_copies "")
foreach(program IN LISTS UQ_PROGRAMS)
  list(APPEND _copies COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${_stage}/)
endforeach()
add_custom_command(OUTPUT ${UQ_ZIP}
  ${_copies}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${UQ_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${UQ_ZIP} --format=zip ${UQ_ZIP_NAME}
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/zip
  DEPENDS ${UQ_PROGRAMS} ${_texts} ${_stage}/README.txt
  VERBATIM)
add_custom_target(windows-zip DEPENDS ${UQ_ZIP})
