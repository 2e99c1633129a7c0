# Writes OUTPUT, a header defining TARVO_COMMIT: the commit that SOURCE_DIR is checked
# out at (with "-dirty" when tracked files differ from it), or "" when it is no git
# checkout or GIT is empty. Run as `cmake -P` at every build; the header is rewritten
# only when its text changes, so that nothing is rebuilt for nothing.
set(commit "")
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  else()
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" diff --quiet HEAD --
      RESULT_VARIABLE dirty OUTPUT_QUIET ERROR_QUIET)
    if(dirty EQUAL 1)
      string(APPEND commit "-dirty")
    endif()
  endif()
endif()
set(TARVO_COMMIT "${commit}")
configure_file("${CMAKE_CURRENT_LIST_DIR}/commit.hpp.in" "${OUTPUT}" @ONLY)
