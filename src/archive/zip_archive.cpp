// placeholder: replaced as the work proceeds
