# Writes the theophylline data of R's datasets package (12 subjects, oral dose, plasma
# concentration over 24 h) as theoph.csv, and nlsList's per-subject fits of the
# first-order absorption model as nlslist.csv: each subject's estimates and standard
# errors of lKe, lKa and lCl, as write.csv gives them (15 significant digits).
#
#     Rscript make_reference.R
library(nlme)
data(Theoph)
theoph <- data.frame(Subject = as.character(Theoph$Subject), Wt = Theoph$Wt, Dose = Theoph$Dose,
                     Time = Theoph$Time, conc = Theoph$conc)
write.csv(theoph, "theoph.csv", row.names = FALSE)
# A tight tolerance: the default one (1e-5) stops with only about five digits settled;
# warnOnly keeps the fit where the last digits cannot all settle.
fits <- nlsList(conc ~ SSfol(Dose, Time, lKe, lKa, lCl), data = Theoph,
                control = nls.control(tol = 1e-9, maxiter = 500, warnOnly = TRUE))
rows <- lapply(names(fits), function(subject) {
    s <- summary(fits[[subject]])$coefficients
    data.frame(Subject = subject,
               lKe = s["lKe", "Estimate"], lKe_se = s["lKe", "Std. Error"],
               lKa = s["lKa", "Estimate"], lKa_se = s["lKa", "Std. Error"],
               lCl = s["lCl", "Estimate"], lCl_se = s["lCl", "Std. Error"])
})
write.csv(do.call(rbind, rows), "nlslist.csv", row.names = FALSE, quote = TRUE)
