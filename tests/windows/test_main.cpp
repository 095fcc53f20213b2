// The toolkit tests run in one process that owns the toolkit's program
// window; the paths that end the process run in child processes of the
// same program, chosen by their first argument.
#include <gtest/gtest.h>

#include "tests/windows/test_support.h"

int main(int argc, char** argv) {
    toolkit_init();
    if (argc > 1 && run_child_mode(argv[1])) return 0;
    create_window_class(recording_window_proc);
    create_program_window(-1, -1, 0, 0, false, true);
    pump_for(50);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
