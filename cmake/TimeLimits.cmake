# Every time limit of the suite and the commands, in seconds, as a native
# run needs them at most:
#
#   time_limit(<name> <seconds> <what>)
#
# In the VM (an emulated CPU, docs/vm.md) each is vm_time_factor times as
# long, and the tests' own waits (tests/support/time_factor.h: the
# end-to-end driver's, the dialog test's, the folder links') are scaled by
# the same factor: in the VM in-wine.sh passes it to every Windows program
# as TEST_TIME_FACTOR. A ctest limit is set when the build is configured,
# before it is known where the tests run: it is the VM's.
# The scripts read the table with scripts/lib/time-limits.sh.
macro(vm_time_factor factor)
    set(VM_TIME_FACTOR ${factor})
endmacro()
macro(time_limit name seconds what)
    math(EXPR TIME_LIMIT_${name} "${seconds} * ${VM_TIME_FACTOR}")
endmacro()

vm_time_factor(4)
time_limit(wine_test    450 "a test program under Wine, all its cases (ctest)")
time_limit(signing      300 "release.signing: two releases built and signed (ctest)")
time_limit(check         75 "a check of the built files without Wine (ctest)")
time_limit(fuzz          30 "the fuzzer's run of 30 s (ctest)")
time_limit(vm_run_test  150 "vm.run_fails, which boots two VMs (ctest)")
time_limit(pack_refusal 300 "pack.refusal: the pack's refusals, in a prefix of its own (ctest)")
time_limit(pack_run     450 "pack.run: its selection, then README.txt's example twice (ctest)")
time_limit(desktop       75 "the test run's two desktops opening (test-in-xvfb.sh)")
time_limit(host_tests   300 "in the VM, the wait for the tests outside it (test-in-xvfb.sh)")
time_limit(desktop_run  150 "one run of the tool on a desktop of the demo or the screenshots")
time_limit(vm_command   900 "one command in the VM (vm-run.sh's default --timeout)")
time_limit(vm_suite    1200 "a command that moves into the VM, the suite (VM_TIMEOUT's default)")

# set_time_limit(<name> <test>...): the limit <name> on each test.
function(set_time_limit name)
    set_tests_properties(${ARGN} PROPERTIES TIMEOUT ${TIME_LIMIT_${name}})
endfunction()
