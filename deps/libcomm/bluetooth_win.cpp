// Bluetooth on Windows: to come.
