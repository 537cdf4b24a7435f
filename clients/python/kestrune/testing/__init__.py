"""What only test rigs need: the contract check of every output line, and ways to break
the helper's process contract on purpose."""
