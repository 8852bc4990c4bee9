// Must not compile in the check: a GNU case range.
int Kind(char c) {
  switch (c) {
    case '0' ... '9': return 1;
    default: return 0;
  }
}
