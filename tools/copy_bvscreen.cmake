# Puts bvscreen beside the programs: the script with its version and the
# source revision written into its BUILD line, and its library files,
# each rewritten only when its content changed.
# Run as: cmake -DSOURCE_DIR=... -DBIN_DIR=... -DVERSION=... -DREVISION_HEADER=...
#        -P copy_bvscreen.cmake
# The revision recorded by cmake/source_revision.cmake for this build.
file(STRINGS ${REVISION_HEADER} line REGEX "^#define BV_REVISION ")
string(REGEX REPLACE "^#define BV_REVISION \"(.*)\"$" "\\1" revision "${line}")
file(READ ${SOURCE_DIR}/tools/bvscreen.py script)
string(REPLACE "\nBUILD = {}\n" "\nBUILD = {\"version\": \"${VERSION}\", \"revision\": \"${revision}\"}\n"
       script "${script}")
set(old "")
if(EXISTS ${BIN_DIR}/bvscreen)
  file(READ ${BIN_DIR}/bvscreen old)
endif()
if(NOT old STREQUAL script)
  file(WRITE ${BIN_DIR}/bvscreen "${script}")
  file(CHMOD ${BIN_DIR}/bvscreen PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
file(GLOB lib ${SOURCE_DIR}/tools/bvscreen_lib/*.py ${SOURCE_DIR}/tools/bvscreen_lib/*.js
     ${SOURCE_DIR}/tools/bvscreen_lib/*.css)
foreach(f ${lib})
  get_filename_component(name ${f} NAME)
  configure_file(${f} ${BIN_DIR}/bvscreen_lib/${name} COPYONLY)
endforeach()
