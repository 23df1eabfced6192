# Runs at install time, before the checksums: signs the programs as staged (cmake/sign-file.cmake),
# never those of the build tree, which stay reproducible.
include("${CMAKE_CURRENT_LIST_DIR}/sign-file.cmake")
file(GLOB programs "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/*.exe")
foreach(program IN LISTS programs)
    zt_sign_file("${program}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                 WORLD_READ WORLD_EXECUTE)
endforeach()
