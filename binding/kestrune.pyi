# Type stub of the kestrune extension module.
