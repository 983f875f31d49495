// Replaced by the simulated display.
int DisplaySimPlaceholder() { return 0; }
