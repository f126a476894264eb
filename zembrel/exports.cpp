// The shared library's code lives in the zembrel_static archive, linked in
// whole; this file only gives the target a source of its own.
