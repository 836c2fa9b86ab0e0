// kr-iconic: a program that only carries icons, for the packer's tests of an Icon row that holds an executable.
int main() { return 0; }
