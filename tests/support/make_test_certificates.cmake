# Makes a test CA, a server certificate for 127.0.0.1 and a client
# certificate signed by it, and an unrelated CA, in OUT. Run at configure time; the files are for tests only.
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "test certificates: ${error}")
    endif()
endfunction()
set(ec -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
if(NOT EXISTS ${OUT}/server.pem)
    file(MAKE_DIRECTORY ${OUT})
    run(${OPENSSL} req -x509 ${ec} -keyout ${OUT}/ca.key -out ${OUT}/ca.pem -days 3650 -subj "/CN=ovx test CA")
    run(${OPENSSL} req -x509 ${ec} -keyout ${OUT}/wrong-ca.key -out ${OUT}/wrong-ca.pem -days 3650 -subj "/CN=ovx other CA")
    run(${OPENSSL} req ${ec} -keyout ${OUT}/server.key -out ${OUT}/server.csr -subj "/CN=127.0.0.1")
    file(WRITE ${OUT}/server.ext "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n")
    run(${OPENSSL} x509 -req -in ${OUT}/server.csr -CA ${OUT}/ca.pem -CAkey ${OUT}/ca.key -CAcreateserial
        -out ${OUT}/server.pem -days 3650 -extfile ${OUT}/server.ext)
endif()
if(NOT EXISTS ${OUT}/client.pem)
    run(${OPENSSL} req ${ec} -keyout ${OUT}/client.key -out ${OUT}/client.csr -subj "/CN=ovx test agent")
    file(WRITE ${OUT}/client.ext "extendedKeyUsage=clientAuth\nbasicConstraints=CA:FALSE\n")
    run(${OPENSSL} x509 -req -in ${OUT}/client.csr -CA ${OUT}/ca.pem -CAkey ${OUT}/ca.key -CAcreateserial
        -out ${OUT}/client.pem -days 3650 -extfile ${OUT}/client.ext)
endif()
