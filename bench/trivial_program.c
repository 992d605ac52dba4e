/* The floor of every process-start measurement: a C program that does nothing. */
int main(void) { return 0; }
