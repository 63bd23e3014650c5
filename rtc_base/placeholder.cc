int zek_placeholder() { return 0; }
