// Must not compile in the check: a GNU statement expression.
int Twice(int value) { return ({ int doubled = value * 2; doubled; }); }
