# Run by cpack before it packs: stops when packaging/changelog's newest entry is not the version
# being packaged, so that a version bump without a changelog entry makes no package.
file(STRINGS "${CPACK_VORMIC_CHANGELOG}" first_line LIMIT_COUNT 1)
if(NOT first_line MATCHES "^vormic \\(([^)]+)\\) ")
  message(FATAL_ERROR "${CPACK_VORMIC_CHANGELOG}: the first line is not an entry's heading")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "${CPACK_VORMIC_CHANGELOG}: the newest entry is for ${CMAKE_MATCH_1}, "
          "the package for ${CPACK_PACKAGE_VERSION}: add an entry for it")
endif()
