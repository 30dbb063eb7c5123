// Stands in for the desktop's URL opener: starts, accepts any URL, succeeds.
int main()
{
	return 0;
}
