# Authenticode signing of what is shipped: the programs as staged for the zip and the MSI, then the
# MSI itself. Unsigned unless a certificate is given here or in the environment at packaging time
# (cmake/sign-file.cmake); the programs in the build tree are never signed.
set(ZT_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file to sign the packages with (else \$ENV{ZT_SIGN_PKCS12})")
set(ZT_SIGN_PASSWORD_FILE "" CACHE FILEPATH
    "File holding the PKCS#12 password (else \$ENV{ZT_SIGN_PASSWORD_FILE}, or the password in \$ENV{ZT_SIGN_PASSWORD})")
set(ZT_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signatures (else \$ENV{ZT_SIGN_TIMESTAMP_URL})")
set(ZT_SIGN_WORK_DIR "${CMAKE_BINARY_DIR}/signing")
set(ZT_SIGN_DESCRIPTION "${ZT_PRODUCT_NAME}")

install(CODE "
set(ZT_SIGN_PKCS12 [[${ZT_SIGN_PKCS12}]])
set(ZT_SIGN_PASSWORD_FILE [[${ZT_SIGN_PASSWORD_FILE}]])
set(ZT_SIGN_TIMESTAMP_URL [[${ZT_SIGN_TIMESTAMP_URL}]])
set(ZT_SIGN_WORK_DIR [[${ZT_SIGN_WORK_DIR}]])
set(ZT_SIGN_DESCRIPTION [[${ZT_SIGN_DESCRIPTION}]])")
install(SCRIPT cmake/sign-staged.cmake)

foreach(setting IN ITEMS PKCS12 PASSWORD_FILE TIMESTAMP_URL WORK_DIR DESCRIPTION)
    set(CPACK_ZT_SIGN_${setting} "${ZT_SIGN_${setting}}")
endforeach()
