# Reference figures for the inference tests, from R's nls: logLik, AIC and BIC (sigma
# counted, k = p + 1), anova of nested pairs, and profile intervals (confint).
# Run with Rscript in this folder: Rscript reference.R > reference.txt
suppressMessages(library(MASS))
put <- function(case, item, values) cat(case, item, sprintf("%.15e", values), "\n")
ctl <- nls.control(tol = 1e-7, maxiter = 200, minFactor = 1e-10)
pur <- read.table("../weights/puromycin.dat", comment.char = "/", col.names = c("conc", "rate"))
dna <- read.table("../weights/dnase1.dat", comment.char = "/", col.names = c("conc", "density"))

fits <- list(
  puromycin_plain = nls(rate ~ Vm * conc / (K + conc), pur, start = list(Vm = 200, K = 0.1), control = ctl),
  puromycin_relative = nls(rate ~ Vm * conc / (K + conc), pur, start = list(Vm = 200, K = 0.1),
                           weights = 1 / rate, control = ctl),
  puromycin_hill = nls(rate ~ Vm * conc^h / (K^h + conc^h), pur, start = list(Vm = 200, K = 0.1, h = 1),
                       control = ctl),
  dnase_plain = nls(density ~ Asym / (1 + exp((xmid - log(conc)) / scal)), dna,
                    start = list(Asym = 3, xmid = 0, scal = 1), control = ctl),
  dnase_relative = nls(density ~ Asym / (1 + exp((xmid - log(conc)) / scal)), dna,
                       start = list(Asym = 3, xmid = 0, scal = 1), weights = 1 / density^2, control = ctl),
  dnase_four = nls(density ~ A + (Asym - A) / (1 + exp((xmid - log(conc)) / scal)), dna,
                   start = list(A = 0, Asym = 3, xmid = 0, scal = 1), control = ctl)
)
cat("# case item values; written by reference.R (R", as.character(getRversion()), "nls), do not edit\n")
for (name in names(fits)) {
  f <- fits[[name]]
  put(name, "estimate", coef(f))
  put(name, "criteria", c(as.numeric(logLik(f)), AIC(f), BIC(f)))
}
for (pair in list(c("puromycin_plain", "puromycin_hill"), c("dnase_plain", "dnase_four"))) {
  a <- anova(fits[[pair[1]]], fits[[pair[2]]])
  put(paste0(pair[1], "+", pair[2]), "anova", c(a$Df[2], a$F[2], a[["Pr(>F)"]][2]))
}
for (name in c("puromycin_plain", "dnase_plain")) {
  ci <- confint(fits[[name]], level = 0.95)
  put(name, "profile_lower", ci[, 1])
  put(name, "profile_upper", ci[, 2])
}
