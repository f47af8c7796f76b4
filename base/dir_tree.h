// Directory trees of the store: making a path with its parents, deleting a
// tree, and handing a tree to an owner. Domain creation and removal, the
// hashed-directory allocator and mailbox creation share these.
//
// Routines (messages to stderr, exact texts):
//   make_path    creates every missing directory of the path with mode 0750
//                (subject to the umask), each new one given to uid:gid (best
//                effort: a failed chown is not a failure); an existing one
//                is left alone. 0 when the path is a directory afterwards;
//                -1 after "PROGRAM: Unable to create directory PREFIX:
//                ERROR\n", "PROGRAM: Couldn't stat PATH: ERROR\n" or
//                "Error: PATH is not a directory.\n". An empty path is 0. A
//                path of more than 299 characters is refused whole, nothing
//                made: -1, errno ENAMETOOLONG, reported as "Unable to create
//                directory PATH: File name too long". Directories made
//                before a later failure stay.
//   delete_tree  removes a file, or a directory and everything below it,
//                never following a symbolic link (a link, at the top or
//                inside, is removed itself). 0 or -1 ("Failed to opendir()",
//                "Failed to delete directory NAME", "Failed to cd to
//                parent", no line end); what was removed before a failure
//                stays removed. The path may be relative, of any number of
//                parts. On success the working directory is the one on
//                entry; after a failure it is undefined: callers restore
//                their own.
//   r_chown      gives the path and everything below it to uid:gid (links
//                themselves, not their targets; single entries that refuse
//                are passed over). -1 when the path is no directory that
//                can be entered, a symbolic link included (the entry itself
//                is still handed over): "r_chown() : Failed to cd to
//                directory PATH"; or "r_chown() : Failed to opendir()",
//                "rchown() : Failed to cd to parent", no line end. The
//                working directory is the one on entry unless going back
//                failed.
#pragma once

#include <sys/types.h>

#include <string>

int make_path(const std::string& path, uid_t uid, gid_t gid);
int delete_tree(const std::string& path);
int r_chown(const std::string& path, uid_t uid, gid_t gid);
