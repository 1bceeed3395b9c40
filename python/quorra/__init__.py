"""quorra: trading research tools."""
