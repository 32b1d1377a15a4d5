"""What every role reads: the profile constants (profiles) and the files and messages the roles
exchange (formats). Imports nothing else of quorvex."""
