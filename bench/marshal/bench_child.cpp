// The small program both measurements start: it ends at once.
int main() {
    return 0;
}
