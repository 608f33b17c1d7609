int qm_placeholder_src;
