# CPack pre-build step: turn the staged install tree into Debian's layout, as the
# Debian helpers would: units in /lib/systemd/system, configuration in /etc, manual
# pages, the README and the changelog compressed with gzip -9n, the documentation every package
# carries, and every file under /etc declared a conffile.

set(stage "${CPACK_TEMPORARY_DIRECTORY}")
set(docdir "${stage}/usr/share/doc/${CPACK_PACKAGE_NAME}")

function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip -9n ${path} failed")
  endif()
endfunction()

# Remove a staged directory if nothing is left in it, then its parents likewise.
function(remove_if_empty dir)
  while(IS_DIRECTORY "${stage}/${dir}" AND NOT dir STREQUAL "")
    file(GLOB left "${stage}/${dir}/*")
    if(left)
      return()
    endif()
    file(REMOVE_RECURSE "${stage}/${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endfunction()

# Move the contents of one staged directory into another, then drop the empty source.
function(move_tree from to)
  if(NOT IS_DIRECTORY "${stage}/${from}")
    return()
  endif()
  file(GLOB entries RELATIVE "${stage}/${from}" "${stage}/${from}/*")
  file(MAKE_DIRECTORY "${stage}/${to}")
  foreach(entry IN LISTS entries)
    if(EXISTS "${stage}/${to}/${entry}")
      message(FATAL_ERROR "both /${from}/${entry} and /${to}/${entry} are installed")
    endif()
    file(RENAME "${stage}/${from}/${entry}" "${stage}/${to}/${entry}")
  endforeach()
  remove_if_empty("${from}")
endfunction()

# Debian 12 keeps units in /lib/systemd/system; with the prefix /usr, the install
# rules put them in /usr/lib/systemd/system. GNUInstallDirs maps the system
# configuration directory of /usr to /etc; a relative etc/ lands in /usr/etc.
move_tree(usr/lib/systemd/system lib/systemd/system)
move_tree(usr/etc etc)

file(GLOB_RECURSE pages "${stage}/usr/share/man/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    gzip_file("${page}")
  endif()
endforeach()

file(MAKE_DIRECTORY "${docdir}" "${stage}/usr/share/lintian/overrides")
file(COPY "${CPACK_QAV_README}" "${CPACK_QAV_GUIDE}" "${CPACK_QAV_LICENSE}" DESTINATION "${docdir}")
file(COPY "${CPACK_QAV_PACKAGING_DIR}/copyright" DESTINATION "${docdir}")
file(COPY "${CPACK_QAV_PACKAGING_DIR}/changelog" DESTINATION "${docdir}")
# Debian compresses documentation; the copyright and the licence it names stay plain.
gzip_file("${docdir}/changelog")
gzip_file("${docdir}/README.md")
gzip_file("${docdir}/qavd.md")
file(COPY_FILE "${CPACK_QAV_PACKAGING_DIR}/lintian-overrides"
     "${stage}/usr/share/lintian/overrides/${CPACK_PACKAGE_NAME}")

file(GLOB_RECURSE conffiles RELATIVE "${stage}" "${stage}/etc/*")
if(conffiles)
  list(SORT conffiles)
  list(TRANSFORM conffiles PREPEND "/")
  list(JOIN conffiles "\n" text)
  file(WRITE "${CPACK_TOPLEVEL_DIRECTORY}/conffiles" "${text}\n")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CPACK_TOPLEVEL_DIRECTORY}/conffiles")
endif()
