// A message library that loads but has no InTable entry.
extern "C" __attribute__((visibility("default"))) int NotTheEntry() { return 1; }
