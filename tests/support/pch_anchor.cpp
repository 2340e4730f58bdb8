// The target that makes the tests' precompiled headers needs one source of its own.
