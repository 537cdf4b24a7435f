"""`kestrune run PROFILE`: timed load profiles with a live view and a record of the run."""
