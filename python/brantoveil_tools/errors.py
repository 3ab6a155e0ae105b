"""The one error type users see: a mistake in their input or options, told in one line."""


class BrantoveilError(Exception):
    """A problem with the input files, the options or the output, described in one line.

    The command line prints the message alone and exits with status 2; notebook code can catch it.
    """
