// Prints the release key compiled into it.
#include <cstdio>

int main()
{
    std::puts(SVD_UPDATE_PUBLIC_KEY);
    return 0;
}
