// Placeholder so the library has a source until the module lands; delete it then.
