# Part of `cmake --install` (and so of CPack): the sound cues, and the status
# file of earlier installs. packaging.cmake sets tovu_data_dir,
# tovu_config_dir, tovu_cues, tovu_cue_dir (the generated cues),
# tovu_cue_link_dir (links to them in the configuration directory) and
# tovu_status_script.
#
# The program plays the cues in the data directory only. Each of them is a
# link to the real file in the configuration directory, where the package
# marks it as a configuration file. The cues are the user's to replace, so
# an install never overwrites one that is already there, at either place (a
# file or a link, even a dangling one): a cue is copied, or linked, only when
# its destination does not exist yet. To get the shipped cues back, delete
# yours and install again. The package leaves this to dpkg, which updates
# the configuration files that the user left alone and keeps (or asks about)
# the ones that the user changed.

set(destdir "$ENV{DESTDIR}")

function(install_unless_there dir file)
  get_filename_component(name "${file}" NAME)
  set(staged "${destdir}${dir}/${name}")
  if(EXISTS "${staged}" OR IS_SYMLINK "${staged}")
    message(STATUS "Keeping: ${staged}")
  else()
    # file(INSTALL) puts DESTDIR in front of the absolute destination, and
    # installs a link as a link.
    file(INSTALL DESTINATION "${dir}" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES "${file}")
  endif()
endfunction()

if(tovu_cues)
  foreach(dir "${tovu_data_dir}" "${tovu_config_dir}")
    execute_process(COMMAND sh -c "mkdir -p \"$1\" && test -w \"$1\"" sh "${destdir}${dir}"
                    RESULT_VARIABLE writable ERROR_QUIET)
    if(NOT writable EQUAL 0)
      message(FATAL_ERROR "Cannot write to ${destdir}${dir}: tovu-voice plays its sound cues "
                          "only from ${tovu_data_dir}, as links to ${tovu_config_dir}; install as "
                          "root, or set DESTDIR for a staged install")
    endif()
  endforeach()
  foreach(cue start.wav stop.wav error.wav)
    install_unless_there("${tovu_config_dir}" "${tovu_cue_dir}/${cue}")
    install_unless_there("${tovu_data_dir}" "${tovu_cue_link_dir}/${cue}")
  endforeach()
endif()

# A status file that an earlier install made writable by every local user
# is closed again (status_file.sh); a staged install leaves it to the
# package's postinst.
if(destdir STREQUAL "")
  execute_process(COMMAND sh -c ". \"$1\" && close_status_file \"$2\"" sh
                          "${tovu_status_script}" "${tovu_data_dir}"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
