// What an earlier run of the receiver left behind: temporary files of a
// process that ended in the middle of a transfer (a shutdown, a crash, an
// update), and parts no sender came back for.
#pragma once

// Removes, below the destination, the temporary files whose process no
// longer runs; a file of a running process (this one among them) stays.
void remove_stale_temporary_files();
// Once at start, on a thread of its own: the stale temporary files, and
// in the secure format the parts over a day old, then those every hour.
void start_leftover_sweeps();
