# Build options shared by every target of the project.
option(TALLYVANE_BUILD_TESTS "Build the unit, widget and integration tests" ON)
option(TALLYVANE_BUILD_BENCH "Build the benchmarks" ON)
option(TALLYVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# Warnings stop development and CI builds; a user's Release install must not fail on a newer
# or older compiler's false positive.
if(CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
  set(TALLYVANE_WERROR_DEFAULT OFF)
else()
  set(TALLYVANE_WERROR_DEFAULT ON)
endif()
option(TALLYVANE_WERROR "Treat warnings in our own code as errors" ${TALLYVANE_WERROR_DEFAULT})

if(TALLYVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Our own targets call this; third-party code (GoogleTest, moc output) keeps its own flags.
function(tallyvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wformat=2)
  if(TALLYVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
