int vindralSmoke() { return 1; }
