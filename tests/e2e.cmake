# The Wine end-to-end suites over the cross-built programs: every behaviour
# case (e2e/run_cases.py), the restart scenarios (e2e/scenarios.py) and other
# programs writing at the same time (e2e/stress.py), for
# build/windows-x86 and build/windows-x64, which their presets build first.
# A suite fails when a program is missing, and exits 77 (skipped) where this
# machine's Wine cannot run that width.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(BOOTMOVE_E2E_SCRIPTS cases=run_cases.py scenarios=scenarios.py stress=stress.py)
foreach(arch x86 x64)
  set(programs ${PROJECT_SOURCE_DIR}/build/windows-${arch})
  foreach(entry ${BOOTMOVE_E2E_SCRIPTS})
    string(REPLACE "=" ";" entry ${entry})
    list(GET entry 0 suite)
    list(GET entry 1 script)
    add_test(NAME e2e_${suite}_${arch}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/e2e/${script} ${programs}/bootmove.exe
                     ${programs}/regfixture.exe)
    set_tests_properties(e2e_${suite}_${arch} PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 1200)
  endforeach()
endforeach()
