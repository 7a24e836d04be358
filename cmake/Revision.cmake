# cmake -DSOURCE_DIR=<dir> -DOUTPUT=<file> -DVERSION=<x.y.z> [-DREVISION=<text>] -P Revision.cmake
# Writes the definitions of app/BuildInfo.h. Run at every build; the file is
# rewritten only when its text changes, so an unchanged checkout rebuilds
# nothing. The revision is REVISION when given (a build from a source
# archive), else "git describe" of the checkout, else "unknown".
cmake_minimum_required(VERSION 3.20)
if(NOT REVISION)
  set(REVISION unknown)
  find_program(GIT_EXECUTABLE git)
  if(GIT_EXECUTABLE)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --tags --always --dirty
                    OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE status ERROR_QUIET)
    if(status EQUAL 0 AND described)
      set(REVISION ${described})
    endif()
  endif()
endif()
# Whatever the text, it lands in a C string literal.
string(REGEX REPLACE "[^A-Za-z0-9._+~:/@-]" "_" REVISION "${REVISION}")
set(text "// Written by cmake/Revision.cmake at build time.\n#include \"app/BuildInfo.h\"\n\nnamespace app {\nconst char kBuildVersion[] = \"${VERSION}\";\nconst char kBuildRevision[] = \"${REVISION}\";\n}  // namespace app\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} current)
endif()
if(NOT current STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
