# ovalith_install_headers(<dir> <destination>): installs the public headers of
# a source folder, leaving out its src/ folder and private headers.
function(ovalith_install_headers dir destination)
  install(DIRECTORY ${dir}/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${destination}
          FILES_MATCHING PATTERN "*.h"
          PATTERN "src" EXCLUDE
          PATTERN "*Internal.h" EXCLUDE)
endfunction()
