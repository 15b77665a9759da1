// Does nothing: the cheapest program a fork and exec can run.
int main(void) { return 0; }
