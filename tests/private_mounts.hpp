// A mount namespace of the test process's own, for tests that mount file systems or hand the tool
// device nodes as root: what they mount goes with the process, even when its timeout kills it,
// and a fault in the tool can unlink or replace only the namespace's copy of /dev.
#pragma once

// Moves the calling thread (and every process it starts) into a private mount namespace whose
// /dev is a copy of the machine's, once per process. False, with nothing changed, where that is
// not allowed (not root, or no namespaces): the caller then skips, visibly.
bool enter_private_mounts();
