# Run by cpack on the staged files before it packs them: the same modes whatever the builder's
# umask, and the last commit's time instead of the checkout's or the build's.
set(staging "${CPACK_TEMPORARY_DIRECTORY}")
execute_process(COMMAND find "${staging}" -type d -exec chmod 0755 {} +
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find "${staging}" -type f -perm /0111 -exec chmod 0755 {} +
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find "${staging}" -type f ! -perm /0111 -exec chmod 0644 {} +
                COMMAND_ERROR_IS_FATAL ANY)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find "${staging}" -exec touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" {} +
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
