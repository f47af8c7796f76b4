// Who the tessera tool runs as. Started by root, it works as the owner of
// the store home instead (89:89 on a host that `init` laid out; a sandbox
// home that root owns keeps it root), so that nothing it makes in the store
// or in qmail's tables (users/assign, rcpthosts, their lock files, the
// audit log) is root's and the pages, running as the store's user, can go
// on changing them.
//
//   become_store_owner  does nothing when the process is not root. Otherwise
//                       reads the owner of tessera_home() (following a link
//                       to it) and, when that is not root, takes its user,
//                       its group and no other group (setgroups, setgid,
//                       setuid, each checked, and checked again afterwards).
//                       With hand_qmail_tables (init), first gives that
//                       owner qmail's users/ and control/ directories and
//                       the tables in them that the store writes (assign,
//                       cdb, rcpthosts, morercpthosts and its cdb,
//                       virtualdomains, locals, their lock files), each on
//                       its own descriptor, never through a symbolic link;
//                       what is missing is skipped.
//                       true when done; false after a message on stderr, the
//                       identity then unknown: the caller must stop.
#pragma once

bool become_store_owner(bool hand_qmail_tables);
