# Run by CPack between the install into its staging folder and the making of a package:
# the folders that the install made there follow the umask of the user who packs, and
# the packages get 755 for folders and programs and 644 for the rest whatever it is.
execute_process(COMMAND chmod -R u=rwX,go=rX ${CPACK_TEMPORARY_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
