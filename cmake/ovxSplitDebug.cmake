# Copies the debug information of a built binary into DEBUG_DIR, under the
# name debuggers look for (.build-id/xx/rest.debug), for the debug package.
# The folder is emptied first, so it always holds the latest build's file.
#   cmake -DFILE=binary -DDEBUG_DIR=folder -DOBJCOPY=objcopy -DREADELF=readelf -P ovxSplitDebug.cmake
execute_process(COMMAND ${READELF} -n ${FILE} OUTPUT_VARIABLE notes RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT notes MATCHES "Build ID: ([0-9a-f][0-9a-f])([0-9a-f]+)")
    message(FATAL_ERROR "${FILE} has no build id")
endif()
set(debug ${DEBUG_DIR}/.build-id/${CMAKE_MATCH_1}/${CMAKE_MATCH_2}.debug)
file(REMOVE_RECURSE ${DEBUG_DIR})
get_filename_component(folder ${debug} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
execute_process(COMMAND ${OBJCOPY} --only-keep-debug --compress-debug-sections ${FILE} ${debug} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cannot copy the debug information of ${FILE}")
endif()
file(CHMOD ${debug} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
