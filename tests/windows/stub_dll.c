/* A DLL of another build: named as Qt's or the compiler's, it exports nothing the library uses. */
int __declspec(dllexport) stub_of_another_build(void) {
    return 0;
}
