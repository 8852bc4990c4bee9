// Must not compile in the check: a variable-length array.
int Sum(int count) {
  int values[count];
  int sum = 0;
  for (int i = 0; i < count; ++i) sum += values[i] = i;
  return sum;
}
