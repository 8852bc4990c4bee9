// Must not compile in the check: a level-4 warning (unreferenced parameter).
int Zero(int value) { return 0; }
