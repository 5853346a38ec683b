# Runs inside CPack after the files were installed into its staging folder
# and before the .deb is made: puts them where a Debian package keeps them.
# `cmake --install` itself is left as it is.
#   - manual pages and the changelog gzipped (no time stamp, so a rebuild
#     gives the same bytes);
#   - the copyright file beside the documentation;
#   - the unit in /lib/systemd/system, where the system manager of a
#     Debian release looks for the units of packages;
#   - the logrotate file in /etc/logrotate.d (a conffile, listed in
#     debian/conffiles);
#   - every folder 0755, every program in usr/bin 0755 and every other
#     file 0644, whatever the modes of the tree and the umask it was built
#     with.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT IS_DIRECTORY "${stage}/usr")
  # CPack's DEB generator stages into a component folder of its own.
  file(GLOB stage_candidates LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  foreach(candidate ${stage_candidates})
    if(IS_DIRECTORY "${candidate}/usr")
      set(stage "${candidate}")
    endif()
  endforeach()
endif()
set(doc "${stage}/usr/share/doc/tallysv")

find_program(GZIP gzip REQUIRED)
file(GLOB_RECURSE manual_pages "${stage}/usr/share/man/*")
foreach(page ${manual_pages})
  if(NOT page MATCHES "\\.gz$")
    execute_process(COMMAND ${GZIP} -9nf "${page}" COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

file(COPY "${CPACK_TALLYSV_DEBIAN_DIR}/copyright" DESTINATION "${doc}")
file(COPY "${CPACK_TALLYSV_DEBIAN_DIR}/changelog" DESTINATION "${doc}")
execute_process(COMMAND ${GZIP} -9nf "${doc}/changelog" COMMAND_ERROR_IS_FATAL ANY)

if(EXISTS "${stage}/usr/lib/systemd/system/tallysv.service")
  file(MAKE_DIRECTORY "${stage}/lib/systemd/system")
  file(RENAME "${stage}/usr/lib/systemd/system/tallysv.service"
       "${stage}/lib/systemd/system/tallysv.service")
  file(REMOVE_RECURSE "${stage}/usr/lib/systemd")
  file(GLOB usr_lib_left "${stage}/usr/lib/*")
  if(NOT usr_lib_left)
    file(REMOVE_RECURSE "${stage}/usr/lib")
  endif()
endif()

if(EXISTS "${stage}/usr/etc/logrotate.d/tallysv")
  file(MAKE_DIRECTORY "${stage}/etc/logrotate.d")
  file(RENAME "${stage}/usr/etc/logrotate.d/tallysv" "${stage}/etc/logrotate.d/tallysv")
  file(REMOVE_RECURSE "${stage}/usr/etc")
endif()

file(GLOB_RECURSE staged_folders LIST_DIRECTORIES true "${stage}/*")
foreach(entry "${stage}" ${staged_folders})
  if(IS_DIRECTORY "${entry}" AND NOT IS_SYMLINK "${entry}")
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()
file(GLOB_RECURSE staged_files LIST_DIRECTORIES false "${stage}/*")
foreach(entry ${staged_files})
  if(IS_SYMLINK "${entry}")
    continue()
  endif()
  string(FIND "${entry}" "${stage}/usr/bin/" program_at)
  if(program_at EQUAL 0)
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
  else()
    file(CHMOD "${entry}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
