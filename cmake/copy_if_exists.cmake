# cmake -DSOURCE=file -DDESTINATION=folder -P copy_if_exists.cmake
# Copies the help file beside the program when there is one to copy: it is
# written separately and may not exist yet.
if(EXISTS "${SOURCE}")
  execute_process(COMMAND "${CMAKE_COMMAND}" -E copy_if_different "${SOURCE}" "${DESTINATION}"
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Cannot copy ${SOURCE} to ${DESTINATION}")
  endif()
endif()
