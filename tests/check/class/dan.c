#include <stdio.h>
int main(void) { puts("Input is : hello") return 0; }
