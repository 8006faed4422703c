# Second, independent check of the weighted fits of this folder with R's nls(weights=);
# run with Rscript in this folder. Relative weights: vcov(); absolute: vcov() / sigma^2.
# For comparison only: the tests read reference.txt (SciPy) and need neither.
d <- read.table("puromycin.dat", comment.char="/", col.names=c("conc","rate"))
f <- nls(rate ~ Vm*conc/(K+conc), d, start=list(Vm=200,K=0.1), weights=1/rate, control=nls.control(tol=1e-7))
print(summary(f)$coefficients, digits=10); print(vcov(f), digits=10); print(sum(weights(f)*resid(f)^2), digits=10)
d <- read.table("dnase1.dat", comment.char="/", col.names=c("conc","density"))
g <- nls(density ~ Asym/(1+exp((xmid-log(conc))/scal)), d, start=list(Asym=3,xmid=0,scal=1), weights=1/density^2, control=nls.control(tol=1e-7))
print(summary(g)$coefficients, digits=10); print(vcov(g), digits=10)
d <- read.table("decay.dat", comment.char="/", col.names=c("t","y","sd"))
h <- nls(y ~ a*exp(-k*t)+c, d, start=list(a=5,k=0.1,c=0), weights=1/sd^2, control=nls.control(tol=1e-7))
print(summary(h)$coefficients, digits=10); print(vcov(h), digits=10)
# absolute: unscaled covariance
print(vcov(h)/summary(h)$sigma^2, digits=10)
