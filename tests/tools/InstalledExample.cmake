# The build installed into a scratch prefix, and the example program configured, built and
# run against it as another project would (and a program on the web engine's target built);
# the example's files must be what the README shows.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... -DCXX=... [-DLAUNCHER=...]
#         [-DCXX_FLAGS=... -DLINK_FLAGS=...] -P InstalledExample.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(example ${SOURCE_DIR}/examples/parts)
file(READ ${SOURCE_DIR}/README.md readme)
foreach(file CMakeLists.txt parts.cpp)
  file(READ ${example}/${file} text)
  string(FIND "${readme}" "${text}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "README.md does not show examples/parts/${file} as it is")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
set(options "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINK_FLAGS}")
if(LAUNCHER)
  list(APPEND options -DCMAKE_CXX_COMPILER_LAUNCHER=${LAUNCHER})
endif()
run("configure" ${CMAKE_COMMAND} -S ${example} -B ${WORK_DIR}/build -G ${GENERATOR} -DCMAKE_BUILD_TYPE=Debug
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix ${options})
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
file(MAKE_DIRECTORY ${WORK_DIR}/data)
run("the example" ${WORK_DIR}/build/parts ${WORK_DIR}/data)
if(NOT out STREQUAL "2 nut\n3 washer\n")
  message(FATAL_ERROR "the example printed:\n${out}")
endif()

# The web engine's target on its own: found, compiled against and linked.
file(WRITE ${WORK_DIR}/web/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(web_check LANGUAGES CXX)
find_package(zelto REQUIRED)
add_executable(web_check main.cpp)
target_link_libraries(web_check PRIVATE zelto::web)
]=])
file(WRITE ${WORK_DIR}/web/main.cpp [=[
#include "web/HUtils.h"
int main() { return IsAbsolutePath(NormalisePath("/a/./b")) ? 0 : 1; }
]=])
run("configure the web check" ${CMAKE_COMMAND} -S ${WORK_DIR}/web -B ${WORK_DIR}/web/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix ${options})
run("build the web check" ${CMAKE_COMMAND} --build ${WORK_DIR}/web/build)
run("the web check" ${WORK_DIR}/web/build/web_check)
file(REMOVE_RECURSE ${WORK_DIR})
