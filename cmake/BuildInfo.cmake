# The commit and date a build comes from, for `vela-agent version --json`. Read when
# CMake configures; a new commit reconfigures, so the text follows the checkout.
function(vela_build_info output)
  find_package(Git QUIET)
  set(commit "unknown")
  if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse HEAD
                    OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
    if(NOT failed AND head)
      set(commit ${head})
    endif()
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse --git-path HEAD
                    OUTPUT_VARIABLE head_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} rev-parse --symbolic-full-name HEAD
                    OUTPUT_VARIABLE ref OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    foreach(watched ${head_file} .git/${ref})
      if(EXISTS ${PROJECT_SOURCE_DIR}/${watched})
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${watched})
      endif()
    endforeach()
  endif()
  # SOURCE_DATE_EPOCH, when set, makes the build reproducible.
  string(TIMESTAMP VELA_BUILD_DATE "%Y-%m-%dT%H:%M:%SZ" UTC)
  set(VELA_COMMIT ${commit})
  configure_file(${PROJECT_SOURCE_DIR}/src/runtime/build_info.cpp.in ${output} @ONLY)
endfunction()
