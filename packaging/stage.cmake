# Run by cpack once the package's files are staged (CPACK_PRE_BUILD_SCRIPTS).

# CPack's strip leaves the compiler's .comment section: dropped as Debian's own tools do.
if(CPACK_STRIP_FILES AND CPACK_SVD_STRIP)
  execute_process(COMMAND ${CPACK_SVD_STRIP} --remove-section=.comment --remove-section=.note
    ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/sorvanta-desktop COMMAND_ERROR_IS_FATAL ANY)
endif()

# What aptsource.cmake made, if anything, with the modes the package wants.
if(CPACK_SVD_APT_STAGE)
  file(COPY ${CPACK_SVD_APT_STAGE}/ DESTINATION ${CPACK_TEMPORARY_DIRECTORY}
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
