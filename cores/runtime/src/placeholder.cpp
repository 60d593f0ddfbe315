// replaced by the runtime sources
