# Turns an installed binary into the one that is shipped: stripped, linked to
# its debug file, and, for the service library, signed over the stripped
# bytes. The steps are separate so that a distribution that strips with its
# own tools signs the same way afterwards (KEY alone):
#   cmake -DFILE=installed-binary [-DDEBUG_DIR=folder -DOBJCOPY=objcopy -DKIND=library|program]
#         [-DKEY=signing-key.pem -DOPENSSL=openssl] -P ovxShipBinary.cmake
# The signature is written to FILE.sig; it must be the last step that
# changes the file.
if(DEBUG_DIR)
    file(GLOB debug ${DEBUG_DIR}/.build-id/*/*.debug)
    list(LENGTH debug count)
    if(NOT count EQUAL 1)
        message(FATAL_ERROR "no single debug file in ${DEBUG_DIR} for ${FILE}")
    endif()
    # As Debian's own strip step does: dynamic symbols stay for libraries.
    if(KIND STREQUAL "library")
        set(strip --strip-unneeded)
    else()
        set(strip --strip-all)
    endif()
    execute_process(COMMAND ${OBJCOPY} ${strip} --remove-section=.comment --remove-section=.note
                            --remove-section=.gnu_debuglink ${FILE} RESULT_VARIABLE result)
    if(result EQUAL 0)
        execute_process(COMMAND ${OBJCOPY} --add-gnu-debuglink=${debug} ${FILE} RESULT_VARIABLE result)
    endif()
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot strip ${FILE}")
    endif()
endif()
if(KEY)
    execute_process(COMMAND ${OPENSSL} pkeyutl -sign -rawin -inkey ${KEY} -in ${FILE} -out ${FILE}.sig
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "cannot sign ${FILE}")
    endif()
    file(CHMOD ${FILE}.sig PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
