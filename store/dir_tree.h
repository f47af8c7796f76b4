// Directory trees of the store: making a path with its parents, deleting a
// tree, and handing a tree to an owner. Domain creation and removal, the
// hashed-directory allocator and mailbox creation share these.
//
// Routines (paths up to 299 characters; messages to stderr, exact texts):
//   make_path    creates every missing directory of the path with mode 0750
//                (subject to the umask), each new one owned by uid:gid; an
//                existing one is left alone. 0 when the path is a directory
//                afterwards; -1 after "PROGRAM: Unable to create directory
//                PREFIX: ERROR\n", "PROGRAM: Couldn't stat PATH: ERROR\n" or
//                "Error: PATH is not a directory.\n". An empty path is 0.
//   delete_tree  removes a file, or a directory and everything below it,
//                never following a symbolic link. 0 or -1 ("Failed to
//                opendir()", "Failed to delete directory NAME", "Failed to cd
//                to parent", no line end). Leaves the working directory
//                undefined: callers restore their own.
//   r_chown      gives the path and everything below it to uid:gid (links
//                themselves, not their targets). 0 or -1 ("r_chown() : Failed
//                to cd to directory PATH", "r_chown() : Failed to opendir()",
//                "rchown() : Failed to cd to parent", no line end).
#pragma once

#include <sys/types.h>

#include <string>

int make_path(const std::string& path, uid_t uid, gid_t gid);
int delete_tree(const std::string& path);
int r_chown(const std::string& path, uid_t uid, gid_t gid);
